#pragma once
// kalvo.ini: the settings a person writes by hand (the broker, per-sensor corrections and alarm
// limits, per-channel protection). The values are read with libinih; the document keeps every
// line as written, so a program that edits a value and saves leaves comments, blank lines,
// unknown sections and keys, and their order, as they were.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvo {

class KalvoIni {
  public:
    // Reads the file. A missing file is an empty document and succeeds. A malformed line makes it
    // return false with `error` naming the first bad line ("<path>: line 7: ..."); the document
    // then still holds every line, and the values of the lines that parsed.
    bool Load(const std::string& path, std::string* error = nullptr);
    // The same from text; `error` says "line N: ...".
    bool Parse(std::string_view text, std::string* error = nullptr);
    // Writes the document beside `path` and renames it over the file, so that a crash leaves the
    // old file or the new one. Keeps the old file's permissions.
    bool Save(const std::string& path, std::string* error = nullptr) const;
    // The document as it would be saved.
    std::string Text() const;
    // The file of the last Load; empty when parsed from text.
    const std::string& path() const { return path_; }

    // Section names in order of first appearance; a section given twice is one section.
    std::vector<std::string> Sections() const;
    bool HasSection(std::string_view section) const;
    // Keys of a section in order of first appearance.
    std::vector<std::string> Keys(std::string_view section) const;
    // The value of the last line giving `key` in `section` ("" is the part before any section).
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    // The 1-based line of the value Get returns; 0 when there is none.
    int LineOf(std::string_view section, std::string_view key) const;

    // Sets a value in place (its line keeps its indentation and comment), else adds the key at
    // the end of its section, else adds the section at the end. False, and nothing changed, when
    // the key or the value cannot be written so that it reads back the same (a line break, blanks
    // around it, a ';' after a blank, which would start a comment).
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every line giving `key` in `section`. True when one was removed.
    bool Remove(std::string_view section, std::string_view key);
    // Removes the section's header when nothing but blank lines follows it up to the next one.
    void RemoveSectionIfEmpty(std::string_view section);

  private:
    enum class Kind { kBlank, kComment, kSection, kKey, kBad };
    struct Line {
        std::string text;  // without its line break
        std::string eol;   // "\n", "\r\n", or "" for a last line without one
        Kind kind = Kind::kBlank;
        std::string section;  // the section it belongs to; a header's own name
        std::string key;
        std::string value;
    };
    int FindKey(std::string_view section, std::string_view key) const;
    std::string DefaultEol() const;
    void InsertLine(size_t at, Line line);

    std::vector<Line> lines_;
    std::string path_;
};

// Where kalvo.ini lives in a data folder.
std::string KalvoIniPath(const std::string& data_folder);

}  // namespace kalvo
