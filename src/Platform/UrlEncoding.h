#pragma once

#include <string>
#include <string_view>

namespace platform {

// Address texts as the platform's URL class reads and writes them.
class UrlEncoding {
  public:
    // Percent-encodes the text with the URL-query character set: ASCII letters and digits and
    // ! $ & ' ( ) * + , - . / : ; = ? @ _ ~ stay as they are; every other byte (a blank, a
    // percent sign, each byte of a non-ASCII character) becomes %XX.
    static std::string percentEncodeQuery(std::string_view text);

    // Whether the text is an absolute address with a host that the platform's URL class accepts
    // as it stands: only the characters an address may hold (no blanks, no raw non-ASCII text)
    // and every percent sign followed by two hexadecimal digits.
    static bool isValidUrl(std::string_view text);
};

}  // namespace platform
