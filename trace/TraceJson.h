#pragma once
// The pieces of one trace record: JSON text of a string field, of a byte field,
// and of a whole record's time stamps. Shared by the writer and the reader.
#include <cstdint>
#include <string>
#include <string_view>

namespace axg {

// A text field, as a quoted JSON string in UTF-8.
std::string JsonText(std::u16string_view text);
// A byte field (a device line or frame as it went over the wire), as a quoted
// JSON string holding one character per byte, U+0000 to U+00FF: printable ASCII
// as it is, CR and LF as \r and \n, everything else escaped as \u00XX, so that
// no byte is lost or reinterpreted in the code page of whoever reads the trace.
std::string JsonBytes(std::string_view bytes);

}  // namespace axg
