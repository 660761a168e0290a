// Linux converts through glibc's iconv into UTF-8, the encoding of its
// file names and of every text the player shows.
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

}  // namespace

EncodingResult ConvertToSystemText(std::string_view text, std::string_view encoding,
                                   std::string* converted) {
  const std::string name = IconvEncodingName(encoding);
  if (name.empty()) return EncodingResult::kUnknownEncoding;
  Converter converter(name);
  if (!converter.usable()) return EncodingResult::kUnknownEncoding;
  std::string input(text);
  // Four UTF-8 bytes per input byte at most, and room for a shift state.
  std::string output(4 * input.size() + 8, '\0');
  char* in = input.data();
  std::size_t inLeft = input.size();
  char* out = output.data();
  std::size_t outLeft = output.size();
  if (iconv(converter.get(), &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1) ||
      iconv(converter.get(), nullptr, nullptr, &out, &outLeft) == static_cast<std::size_t>(-1)) {
    // EILSEQ: a byte the encoding does not define; EINVAL: a character cut
    // off at the end. The output has room for every text.
    return EncodingResult::kInvalidBytes;
  }
  output.resize(output.size() - outLeft);
  *converted = output;
  return EncodingResult::kConverted;
}
