#include "platform/error.h"

#include "platform/text.h"

namespace axg {

Error::Error(std::u16string message) : message_(std::move(message)), utf8_(ToUtf8(message_)) {}

}  // namespace axg
