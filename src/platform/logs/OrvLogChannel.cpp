#include "platform/logs/OrvLogChannel.h"

#include "platform/logs/OrvConsole.h"

namespace {

// An argument as it goes into a line: control characters escaped, so that no value (an
// application id, a collector's message) can end a line and forge the next one.
void appendEscaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  }
}

}  // namespace

std::string OrvLogChannel::render(std::string_view format,
                                  std::initializer_list<std::string> args) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size()) {
      if (format[i + 1] == '@') {
        appendEscaped(out, next != args.end() ? std::string_view(*next++) : "(null)");
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
