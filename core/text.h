#pragma once

#include <string>
#include <string_view>
#include <vector>

// Text helpers of the utility library: plain byte-string functions, safe from
// any thread since they keep no state.
namespace tw::text {

// The value of a hexadecimal digit; -1 for any other character.
int hexValue(char c);

// Field n (from 0) of s split at sep; "" past the last field.
std::string getFg(std::string_view s, char sep, int n);
// Every field of s split at sep, in order, as getFg numbers them: a walk over
// a long list costs one pass instead of one scan from the start per field.
std::vector<std::string_view> splitFields(std::string_view s, char sep);
// Nonzero when item is a whole field of list; 0 for an empty list.
int isInFg(std::string_view list, char sep, std::string_view item);
// The text after the first begin up to the next end; "" without begin. When
// no end follows, the rest of s: a search key is often the URL's last field.
std::string getStrPart(std::string_view s, std::string_view begin, std::string_view end);
std::string getStrInt(long long n);
// Repairs invalid UTF-8 in place (each bad byte becomes U+FFFD); the narrow
// encoding on Linux is UTF-8, so valid text is left as it is.
void utf8ToNarrow(std::string& s);
// True when s is valid UTF-8 throughout.
bool isValidUtf8(std::string_view s);
// Leading and trailing blanks, tabs, CR and LF removed; idempotent.
std::string parseUrl(std::string_view line);
// Percent-encodes every byte outside RFC 3986's unreserved set.
std::string percentEncode(std::string_view s);
// True for an address that starts with http:// or https:// (any case): the
// only ones a watch may be or the browser is handed.
bool isWebAddress(std::string_view url);

// For display only, never for what is stored or sent: %XX sequences that
// form valid UTF-8 become their characters, "+" after the first "?" becomes a
// blank; invalid sequences and encoded control characters stay as written.
std::string readableUrl(std::string_view url);
// The same for the text after a URL's "?": every "+" is a blank.
std::string readableQuery(std::string_view query);

} // namespace tw::text
