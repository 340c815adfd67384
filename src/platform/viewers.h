// The two windows of the driver's additional actions. Windows: native modal windows owned by
// the host's active window; they return when the user closes them. Linux: the desktop's own
// handlers, started with xdg-open; they return once the handler has been started.
//
// Paths are UTF-8. Both throw std::runtime_error with a readable text when nothing can be shown.
#pragma once

#include <string>

namespace vantorel::platform {

// The log viewer over the log folder (with a trailing separator).
void ShowLogViewer(const std::string& logDirectory);

// A page in a browser under the caption. Windows: a modal window with an embedded browser; the
// page's folder may be deleted once this returns. Linux: the page's folder is copied into the
// user's cache (replacing the previous copy) and the copy is opened, since the browser reads
// it after this has returned.
void ShowDocument(const std::string& htmlPath, const std::string& caption);

}  // namespace vantorel::platform
