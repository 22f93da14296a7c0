#include "container/ContainerFormat.h"

namespace tesvar::container {

std::string ContainerErrorText(int32_t Code) {
  switch (static_cast<TContainerError>(Code)) {
    case ceOk: return "no error";
    case cePathMalformed: return "malformed path";
    case cePathNotFound: return "not found";
    case ceInvalidHandle: return "invalid file handle";
    case cePageHeaderRead: return "page header read incomplete";
    case cePageHeaderWrite: return "page header write incomplete";
    case cePageDataRead: return "page data read incomplete";
    case cePageDataWrite: return "page data write incomplete";
    case cePageChecksum: return "page data checksum mismatch";
    case cePageDecrypt: return "page data decryption failed";
    case cePageEncrypt: return "page data encryption failed";
    case ceRepairBuffer: return "no memory for the page buffer";
    case ceRepairRename: return "the compacted file could not take the container's name";
    case ceFileInUse: return "the file is in use";
    case ceNoSpace: return "not enough space";
    case ceReadOnly: return "the container is read-only";
    case ceInvalidArgument: return "invalid argument";
    case ceIsDirectory: return "is a directory";
    case ceFileExists: return "the name exists already";
    case ceDirectoryNotEmpty: return "the directory is not empty";
    case ceInvalidPassword: return "invalid password";
    case ceFlushFailed: return "the data could not be written through to the disk";
  }
  return "error " + std::to_string(Code);
}

}  // namespace tesvar::container
