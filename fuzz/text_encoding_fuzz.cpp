// Conversion of a .vmx's values by its `.encoding`: whatever comes out is
// valid UTF-8; a UTF-8 text passes unchanged exactly when it is valid; and
// every text that iconv converts with ample room is converted, to the same
// bytes.
#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/model_check.h"
#include "player/host/text_encoding.h"

namespace {

// Names VMware writes and encodings that are stateful, multi-byte or grow
// (TSCII writes up to four characters for one byte).
constexpr const char* kEncodings[] = {
    "UTF-8",       "utf8",       "windows-1252", "windows-1250", "Shift_JIS",  "EUC-JP",
    "ISO-2022-JP", "GBK",        "GB18030",      "Big5",         "Big5-HKSCS", "EUC-KR",
    "KOI8-R",      "iso-8859-1", "cp850",        "ibm866",       "TSCII",      "UTF-7",
    "UTF-16",      "macintosh",  "windows-1258", "CP949",
};

// UTF-8 as Unicode defines it, decoded to code points: nothing above
// U+10FFFF, no surrogate, no longer form, nothing cut off.
bool StrictUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80         ? 1
                         : lead >> 5 == 0x6  ? 2
                         : lead >> 4 == 0xE  ? 3
                         : lead >> 3 == 0x1E ? 4
                                             : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// iconv in one go with far more room than any encoding needs.
bool ReferenceConversion(std::string_view text, const std::string& name, std::string* output) {
  const iconv_t handle = iconv_open("UTF-8", name.c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(text);
  output->assign(32 * input.size() + 64, '\0');
  char* in = input.data();
  std::size_t inLeft = input.size();
  char* out = output->data();
  std::size_t outLeft = output->size();
  const bool converted =
      iconv(handle, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1) &&
      iconv(handle, nullptr, nullptr, &out, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(handle);
  output->resize(output->size() - outLeft);
  return converted;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view encoding = kEncodings[data[0] % std::size(kEncodings)];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string converted = "untouched";
  const EncodingResult result = ConvertToSystemText(text, encoding, &converted);
  MODEL_CHECK(result != EncodingResult::kNotRepresentable);
  MODEL_CHECK(IsValidUtf8(text) == StrictUtf8(text));
  if (result != EncodingResult::kConverted) {
    MODEL_CHECK(converted == "untouched");
  } else {
    MODEL_CHECK(StrictUtf8(converted));
  }
  if (WindowsCodePage(encoding) == 65001) {
    MODEL_CHECK((result == EncodingResult::kConverted) == StrictUtf8(text));
    MODEL_CHECK(result != EncodingResult::kConverted || converted == text);
  }
  std::string reference;
  if (ReferenceConversion(text, IconvEncodingName(encoding), &reference) && StrictUtf8(reference)) {
    MODEL_CHECK(result == EncodingResult::kConverted && converted == reference);
  }
  return 0;
}
