// The tab-separated text codec of the table commands.

#include "edb/EdbTsv.h"

#include <cstring>

namespace tesvar::edb {

void SplitTsvLine(std::string_view Line, std::vector<TTsvField>& Fields) {
  Fields.clear();
  if (!Line.empty() && Line.back() == '\r') Line.remove_suffix(1);
  size_t Start = 0;
  while (true) {
    const void* Tab = Start < Line.size() ? std::memchr(Line.data() + Start, '\t', Line.size() - Start) : nullptr;
    const size_t End = Tab ? static_cast<size_t>(static_cast<const char*>(Tab) - Line.data()) : Line.size();
    const std::string_view Raw = Line.substr(Start, End - Start);
    if (Raw == "\\N") Fields.push_back({{}, true});
    else Fields.push_back({Raw, false});
    if (!Tab) break;
    Start = End + 1;
  }
}

bool UnescapeTsvField(std::string_view Raw, std::string& Out, size_t& BadAt) {
  size_t Done = 0;
  while (true) {
    const void* Slash = Done < Raw.size() ? std::memchr(Raw.data() + Done, '\\', Raw.size() - Done) : nullptr;
    if (!Slash) {
      Out.append(Raw.substr(Done));
      return true;
    }
    const size_t At = static_cast<size_t>(static_cast<const char*>(Slash) - Raw.data());
    Out.append(Raw.substr(Done, At - Done));
    if (At + 1 >= Raw.size()) {
      BadAt = At;
      return false;
    }
    switch (Raw[At + 1]) {
      case 't': Out += '\t'; break;
      case 'n': Out += '\n'; break;
      case 'r': Out += '\r'; break;
      case '\\': Out += '\\'; break;
      default: BadAt = At; return false;
    }
    Done = At + 2;
  }
}

void AppendTsvEscaped(std::string_view Value, std::string& Out) {
  size_t Done = 0;
  for (size_t I = 0; I < Value.size(); ++I) {
    const char C = Value[I];
    const char* Escape = C == '\t' ? "\\t" : C == '\n' ? "\\n" : C == '\r' ? "\\r" : C == '\\' ? "\\\\" : nullptr;
    if (!Escape) continue;
    Out.append(Value.substr(Done, I - Done));
    Out.append(Escape, 2);
    Done = I + 1;
  }
  Out.append(Value.substr(Done));
}

}  // namespace tesvar::edb
