#include "toolkit/TFieldDefs.h"

namespace tesvar::toolkit {

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
