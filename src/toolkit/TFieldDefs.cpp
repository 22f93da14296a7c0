#include "toolkit/TFieldDefs.h"

#include "platform/AnsiCase.h"

namespace tesvar::toolkit {

namespace {

template <class TDefs>
int32_t indexOfName(const TDefs& Defs, std::string_view Name) {
  for (size_t i = 0; i < Defs.size(); ++i)
    if (platform::AnsiSameText(Defs[i].Name, Name)) return static_cast<int32_t>(i);
  return -1;
}

}  // namespace

int32_t IndexOfFieldDef(const TFieldDefs& Defs, std::string_view Name) { return indexOfName(Defs, Name); }

const TFieldDef* FindFieldDef(const TFieldDefs& Defs, std::string_view Name) {
  const int32_t i = indexOfName(Defs, Name);
  return i < 0 ? nullptr : &Defs[static_cast<size_t>(i)];
}

int32_t IndexOfIndexDef(const TIndexDefs& Defs, std::string_view Name) { return indexOfName(Defs, Name); }

const TIndexDef* FindIndexDef(const TIndexDefs& Defs, std::string_view Name) {
  const int32_t i = indexOfName(Defs, Name);
  return i < 0 ? nullptr : &Defs[static_cast<size_t>(i)];
}

std::vector<std::string> SplitFieldNames(const std::string& List) {
  std::vector<std::string> Names;
  size_t Start = 0;
  while (Start <= List.size()) {
    size_t End = List.find_first_of(",;", Start);
    if (End == std::string::npos) End = List.size();
    size_t First = Start;
    size_t Last = End;
    while (First < Last && List[First] == ' ') ++First;
    while (Last > First && List[Last - 1] == ' ') --Last;
    if (Last > First) Names.push_back(List.substr(First, Last - First));
    Start = End + 1;
  }
  return Names;
}

}  // namespace tesvar::toolkit
