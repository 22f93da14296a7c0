// The vocabularies of the catalogue workload, in the order of the workload definition (UTF-8).
// Indexes into these lists are part of the workload: never reorder them.

#include "CatalogWorkload_internal.h"

namespace tesvar::bench {

const std::vector<std::string> kGroups = {
    "Utilities", "Games", "Multimedia", "Drivers", "Internet", "Office", "Graphics", "Development",
    "Security", "System", "Education", "Science", "Music", "Video", "Fonts", "Screensavers", "Wallpapers",
    "Archivers", "Emulators", "Databases", "Утилиты", "Игры", "Мультимедиа", "Драйверы", "Интернет", "Офис",
    "Графика", "Разработка", "Безопасность", "Система", "Обучение", "Наука", "Музыка", "Видео", "Шрифты",
    "Заставки", "Обои", "Архиваторы", "Эмуляторы", "Базы данных",
};

const std::vector<std::string> kCategories = {
    "Freeware", "Shareware", "Demo", "Trial", "Commercial", "Open Source", "Beta", "Patch", "Update",
    "Documentation", "Image", "Audio", "Movie", "Backup", "Misc", "Бесплатные", "Условно-бесплатные",
    "Демо-версии", "Коммерческие", "Обновления", "Документация", "Образы", "Резервные копии", "Разное",
    "Сборники",
};

const std::vector<std::string> kDiskPrefixes = {
    "Soft Collection", "Hard Disk", "Games CD", "Music CD", "Video DVD", "Drivers Disk", "Backup",
    "Magazine CD", "Photo Archive", "Install Disk", "Софт", "Игры", "Музыка", "Фильмы", "Архив", "Драйверы",
    "Журнал", "Фото", "Дистрибутивы", "Разное",
};

const std::vector<std::string> kExtensions = {
    "exe", "zip", "rar", "dll", "txt", "doc", "pdf", "mp3", "avi", "jpg", "png", "gif", "iso", "msi", "7z",
    "htm", "html", "ini", "cab", "wav", "mpg", "bmp", "chm", "hlp", "xls", "ttf", "sys", "bat", "com", "dat",
};

const std::vector<std::string> kTitleStems = {
    "setup", "install", "readme", "update", "patch", "driver", "player", "viewer", "editor", "manager",
    "converter", "tool", "utils", "game", "demo", "trial", "keygen", "crack", "manual", "help", "license",
    "winamp", "photoshop", "acrobat", "office", "winrar", "winzip", "nero", "quake", "doom", "civilization",
    "starcraft", "diablo", "warcraft", "norton", "kaspersky", "drweb", "total_commander", "far", "mirc",
    "icq", "opera", "netscape", "outlook", "directx", "codec", "divx", "xvid", "realplayer", "quicktime",
    "flash", "shockwave", "java", "delphi", "borland", "visual_studio", "mssql", "oracle", "mysql", "apache",
    "php", "perl", "python", "linux", "freebsd", "vmware", "virtualpc", "partition", "defrag", "backup",
    "restore", "scandisk", "cleaner", "tweaker", "monitor", "benchmark", "screensaver", "wallpaper", "font",
    "skin", "theme", "plugin", "addon", "mod", "map", "level", "soundtrack", "clip", "trailer", "photo",
    "scan", "doc", "book", "tutorial", "lesson", "reader", "launcher", "tabcalc", "abcview", "grabcap",
};

const std::vector<std::string> kFolders = {
    "Soft", "Utils", "Games", "Music", "Video", "Drivers", "Internet", "Office", "Graphics", "Develop",
    "Security", "System", "Program Files", "Setup", "Install", "Distrib", "Archive", "Backup", "Docs",
    "Books", "Photo", "Images", "Fonts", "Patches", "Updates", "Misc", "Temp", "New", "Old", "Share",
    "Программы", "Утилиты", "Игры", "Музыка", "Фильмы", "Документы", "Книги", "Фото", "Дистрибутивы",
    "Разное",
};

const std::vector<std::string> kWordsRu = {
    "программа", "для", "работы", "с", "файлами", "и", "папками", "быстрый", "поиск", "удобный", "интерфейс",
    "поддержка", "русского", "языка", "новая", "версия", "исправлены", "ошибки", "добавлена", "возможность",
    "просмотра", "изображений", "звука", "видео", "диск", "архив", "сжатие", "данных", "каталог", "дисков",
    "описание", "игра", "уровень", "графика", "музыка", "драйвер", "устройства", "системы", "настройка",
    "сети", "безопасность", "защита", "от", "вирусов", "резервное", "копирование", "восстановление",
    "бесплатная", "условно-бесплатная", "полная", "русская", "английская", "документация", "книга", "учебник",
    "обновление", "компьютер", "пользователя", "объём", "мегабайт",
};

const std::vector<std::string> kWordsEn = {
    "the", "a", "of", "and", "for", "with", "file", "files", "program", "utility", "fast", "small", "free",
    "new", "version", "fixed", "bugs", "support", "windows", "disk", "catalog", "archive", "compression",
    "viewer", "player", "editor", "image", "audio", "video", "driver", "network", "internet", "browser",
    "mail", "client", "server", "database", "backup", "restore", "security", "game", "level", "edition",
    "full", "demo", "trial", "release", "update", "installer", "manual", "guide", "readme", "license",
    "registered", "shareware", "freeware", "registry", "screen", "MB", "KB",
};

const std::vector<std::string> kKeywords = {
    "soft", "game", "music", "video", "driver", "utility", "archive", "backup", "internet", "office",
    "graphics", "system", "security", "freeware", "shareware", "demo", "patch", "update", "docs", "book",
    "windows", "dos", "linux", "cd", "dvd", "iso", "mp3", "avi", "jpeg", "setup", "софт", "игра", "музыка",
    "видео", "драйвер", "утилита", "архив", "резерв", "интернет", "офис", "графика", "система", "защита",
    "бесплатно", "демо", "патч", "обновление", "книга", "диск", "сборник",
};

const std::vector<std::string> kDomains = {
    "softportal", "download", "freeware", "shareware", "games", "drivers", "microsoft", "borland", "winamp",
    "nero", "opera", "mozilla", "sourceforge", "tucows", "simtel", "kaspersky", "drweb", "ixbt", "3dnews",
    "narod",
};

const std::vector<std::string> kTlds = {
    "com", "ru", "org", "net", "de", "info",
};

const std::vector<std::string> kUrlPaths = {
    "", "download", "soft", "files", "index.html", "products", "support", "news",
};

}  // namespace tesvar::bench
