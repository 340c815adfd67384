// The help action: a Markdown document packed in a ZIP archive that the library carries as a
// data resource is unpacked into a private temporary folder, converted to an HTML page and
// shown; the folder is deleted afterwards, whatever happened.
//
// Showing the page is a replaceable step, so that the renderer runs without a window in tests;
// by default it is platform::ShowDocument, which returns once the page has been seen (Windows)
// or handed to the desktop (Linux, which keeps its own copy of the page).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vantorel {

class TMarkdownRenderer {
 public:
  // Bytes of the named data resource; empty when the library has none.
  using ResourceFn = std::function<std::string_view(std::string_view name)>;
  using ShowFn = std::function<void(const std::string& htmlPath, const std::string& caption)>;
  struct Services {
    ResourceFn resource;   // default: the library's own resources
    ShowFn show;           // default: platform::ShowDocument
    std::string tempRoot;  // default: the system's temporary folder
  };

  // The whole action: "File not found: <name>" when there is no such resource; otherwise a
  // renderer is made, renders and is destroyed (removing its folder) in every case.
  static void Render(std::string_view sourceName, std::string_view caption,
                     const Services& services = {});
  static bool SourceExist(std::string_view sourceName, const Services& services = {});

  // Creates the private folder: temporary folder + separator + {GUID}.
  explicit TMarkdownRenderer(std::string_view sourceName, const Services& services = {});
  // Deletes the private folder with everything in it.
  ~TMarkdownRenderer();
  TMarkdownRenderer(const TMarkdownRenderer&) = delete;
  TMarkdownRenderer& operator=(const TMarkdownRenderer&) = delete;

  // Unpacks, converts, writes md.html, shows it; returns the page's path.
  std::string Render(std::string_view caption);
  bool SourceExist() const;
  const std::string& TempDirectory() const { return FTempDirectory; }

  // Building blocks, public for tests.
  // Bytes of a text file to UTF-8: a UTF-8, UTF-16 or UTF-32 byte-order mark picks the
  // encoding and is dropped; without one the bytes are UTF-8. Invalid sequences become U+FFFD.
  static std::string DecodeText(std::string_view bytes);
  // CommonMark to an HTML fragment.
  static std::string MarkdownToHtml(std::string_view markdown);
  // The page's content (without the byte-order mark): the framed document linking the style
  // sheet when there is one, else the fragment alone.
  static std::string PageText(const std::string& fragment, const std::string& styleSheetName);

 private:
  std::string_view Source() const;

  std::string FSourceName;
  std::string FTempDirectory;
  Services FServices;
};

}  // namespace vantorel
