#include "toolkit/Messages.h"

namespace tesvar::toolkit {

std::string FormatMsg(std::string_view Pattern, std::initializer_list<std::string_view> Args) {
  std::string Text;
  Text.reserve(Pattern.size() + 32);
  auto Arg = Args.begin();
  for (size_t i = 0; i < Pattern.size(); ++i) {
    if (Pattern[i] == '%' && i + 1 < Pattern.size() && Pattern[i + 1] == 's' && Arg != Args.end()) {
      Text += *Arg++;
      ++i;
    } else {
      Text += Pattern[i];
    }
  }
  return Text;
}

}  // namespace tesvar::toolkit
