#pragma once

// Stored texts are shown through the escape the client shares
// (wire/printable_text.h).
#include "wire/printable_text.h"

namespace kvr::server {

using kvr::EscapeControls;

}  // namespace kvr::server
