// Linux converts through glibc's iconv into UTF-8, the encoding of its
// file names and of every text the player shows.
#include <errno.h>
#include <iconv.h>

#include "player/host/text_encoding.h"

namespace {

// An iconv conversion descriptor, closed on every path.
class Converter {
 public:
  explicit Converter(const std::string& from) : handle_(iconv_open("UTF-8", from.c_str())) {}
  ~Converter() {
    if (usable()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool usable() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

enum class Attempt { kConverted, kNoRoom, kInvalid };

// The whole input through a fresh converter into `room` bytes, then the
// end of its shift state. kInvalid for a byte the encoding does not define
// (EILSEQ) and for a character cut off at the end (EINVAL).
Attempt ConvertInto(const Converter& converter, std::string_view text, std::size_t room,
                    std::string* output) {
  std::string input(text);
  char* in = input.data();
  std::size_t inLeft = input.size();
  output->assign(room, '\0');
  char* out = output->data();
  std::size_t outLeft = output->size();
  if (iconv(converter.get(), &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1) ||
      iconv(converter.get(), nullptr, nullptr, &out, &outLeft) == static_cast<std::size_t>(-1)) {
    return errno == E2BIG ? Attempt::kNoRoom : Attempt::kInvalid;
  }
  output->resize(output->size() - outLeft);
  return Attempt::kConverted;
}

}  // namespace

EncodingResult ConvertToSystemText(std::string_view text, std::string_view encoding,
                                   std::string* converted) {
  const std::string name = IconvEncodingName(encoding);
  if (name.empty()) return EncodingResult::kUnknownEncoding;
  // Most texts fit into four bytes per input byte; an encoding that
  // writes several characters for one byte (TSCII) is given more room and
  // starts again: glibc's TSCII loses a character when it is resumed after
  // running out of room.
  std::string output;
  Attempt attempt = Attempt::kNoRoom;
  for (std::size_t room = 4 * text.size() + 8; attempt == Attempt::kNoRoom; room *= 2) {
    Converter converter(name);
    if (!converter.usable()) return EncodingResult::kUnknownEncoding;
    attempt = ConvertInto(converter, text, room, &output);
  }
  // glibc's UTF-8 reader passes sequences above U+10FFFF through, which no
  // file name or window title of the system may hold.
  if (attempt == Attempt::kInvalid || !IsValidUtf8(output)) return EncodingResult::kInvalidBytes;
  *converted = output;
  return EncodingResult::kConverted;
}
