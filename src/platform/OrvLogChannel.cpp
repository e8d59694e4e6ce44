#include "platform/OrvLogChannel.h"

#include "platform/OrvConsole.h"

std::string OrvLogChannel::render(std::string_view format,
                                  std::initializer_list<std::string> args) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '@') {
        out += next != args.end() ? *next++ : std::string("(null)");
        ++i;
        continue;
      }
      if (format[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += format[i];
  }
  return out;
}

void OrvLogChannel::write(bool isError, std::string_view format,
                          std::initializer_list<std::string> args) const {
  std::string line(tag_);
  line += isError ? " [ERROR] " : " ";
  line += render(format, args);
  OrvConsole::write(line);
}
