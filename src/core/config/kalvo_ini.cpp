#include "core/config/kalvo_ini.h"

#include <fcntl.h>
#include <ini.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace kalvo {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// The ']' closing a section header, as the parser finds it: a ';' after a blank starts a
// comment first.
size_t HeaderEnd(std::string_view body) {
    for (size_t i = 1; i < body.size(); ++i) {
        if (body[i] == ']') return i;
        if (body[i] == ';' && IsBlank(body[i - 1])) break;
    }
    return std::string_view::npos;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The parser's switches are process-wide; they are set once, before the first parse.
void ConfigureParser() {
    static std::once_flag once;
    std::call_once(once, [] {
        // No multi-line values: an indented key is a key, not a continuation of the one above.
        ini_allow_multiline = false;
        ini_allow_inline_comments = true;
        ini_allow_no_value = false;
        ini_stop_on_first_error = false;
    });
}

// Feeds the parser one line per call, so the handler knows the line it is called for.
struct Feed {
    const std::vector<std::string>* lines = nullptr;
    size_t next = 0;  // lines handed out so far = the current line number
    std::vector<std::pair<std::string, std::string>>* values = nullptr;  // by line - 1
    std::vector<bool>* has_value = nullptr;
};

char* ReadLine(char* buffer, int size, void* stream) {
    auto* feed = static_cast<Feed*>(stream);
    if (feed->next >= feed->lines->size()) return nullptr;
    const std::string& line = (*feed->lines)[feed->next++];
    // Lines too long for the parser's buffer are marked bad before parsing and fed as comments.
    const size_t n = std::min(line.size(), size_t(std::max(size, 2) - 2));
    std::memcpy(buffer, line.data(), n);
    buffer[n] = '\n';
    buffer[n + 1] = '\0';
    return buffer;
}

int OnValue(void* user, const char* /*section*/, const char* name, const char* value) {
    auto* feed = static_cast<Feed*>(user);
    const size_t index = feed->next - 1;
    (*feed->values)[index] = {name ? name : "", value ? value : ""};
    (*feed->has_value)[index] = true;
    return 1;
}

// Closes a descriptor it owns.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool Close() {
        if (fd_ < 0) return true;
        const bool ok = ::close(fd_) == 0;
        fd_ = -1;
        return ok;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(size_t(n));
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool StorableValue(std::string_view value) {
    if (value != Trim(value)) return false;
    for (size_t i = 0; i < value.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(value[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == ';' && (i == 0 || IsBlank(value[i - 1]))) return false;
    }
    return true;
}

bool StorableKey(std::string_view key) {
    if (key.empty() || key != Trim(key)) return false;
    if (key.front() == '[' || key.front() == ';' || key.front() == '#') return false;
    for (char c : key) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '=' || c == ':' || c == ';') return false;
    }
    return true;
}

bool StorableSection(std::string_view section) {
    if (section != Trim(section)) return false;
    for (char c : section) {
        if (static_cast<unsigned char>(c) < 0x20 || c == ']' || c == ';') return false;
    }
    return true;
}

}  // namespace

bool KalvoIni::Load(const std::string& path, std::string* error) {
    path_ = path;
    lines_.clear();
    const int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (raw < 0) {
        if (errno == ENOENT) return true;
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    Fd fd(raw);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (error) *error = path + ": " + std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        text.append(buffer, size_t(n));
        // kalvo.ini is a few lines; a huge file is a mistake, not settings.
        if (text.size() > (size_t(1) << 20)) {
            if (error) *error = path + ": larger than 1 MiB, not read";
            return false;
        }
    }
    std::string why;
    const bool ok = Parse(text, &why);
    path_ = path;
    if (!ok && error) *error = path + ": " + why;
    return ok;
}

bool KalvoIni::Parse(std::string_view text, std::string* error) {
    ConfigureParser();
    lines_.clear();
    path_.clear();
    size_t start = 0;
    while (start < text.size()) {
        Line line;
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            line.text = std::string(text.substr(start));
            start = text.size();
        } else {
            line.text = std::string(text.substr(start, end - start));
            // Appended, not assigned from a literal: GCC 12 warns falsely (-Wrestrict) at -O3.
            if (!line.text.empty() && line.text.back() == '\r') {
                line.text.pop_back();
                line.eol.push_back('\r');
            }
            line.eol.push_back('\n');
            start = end + 1;
        }
        lines_.push_back(std::move(line));
    }

    // What the parser sees: a line it cannot hold whole, or one with a NUL, goes in as a comment.
    const size_t max_text = size_t(std::max(ini_max_line, 4) - 3);
    std::vector<std::string> fed(lines_.size());
    std::vector<std::string> too_long(lines_.size());
    for (size_t i = 0; i < lines_.size(); ++i) {
        const std::string& t = lines_[i].text;
        if (t.size() > max_text) {
            too_long[i] = "longer than " + std::to_string(max_text) + " bytes";
            fed[i].push_back(';');
        } else if (t.find('\0') != std::string::npos) {
            too_long[i] = "holds a NUL byte";
            fed[i].push_back(';');
        } else {
            fed[i] = t;
        }
    }
    std::vector<std::pair<std::string, std::string>> values(lines_.size());
    std::vector<bool> has_value(lines_.size(), false);
    Feed feed;
    feed.lines = &fed;
    feed.values = &values;
    feed.has_value = &has_value;
    const int first_error = ini_parse_stream(ReadLine, &feed, OnValue, &feed);

    std::string section;
    int bad_line = 0;
    std::string bad_why;
    for (size_t i = 0; i < lines_.size(); ++i) {
        Line& line = lines_[i];
        std::string_view body = line.text;
        if (i == 0 && body.substr(0, kBom.size()) == kBom) body.remove_prefix(kBom.size());
        body = Trim(body);
        std::string why;
        if (!too_long[i].empty()) {
            line.kind = Kind::kBad;
            why = too_long[i];
        } else if (has_value[i]) {
            line.kind = Kind::kKey;
            line.key = values[i].first;
            line.value = values[i].second;
        } else if (body.empty()) {
            line.kind = Kind::kBlank;
        } else if (body.front() == ';' || body.front() == '#') {
            line.kind = Kind::kComment;
        } else if (body.front() == '[' && int(i + 1) != first_error &&
                   HeaderEnd(body) != std::string_view::npos) {
            line.kind = Kind::kSection;
            section = std::string(Trim(body.substr(1, HeaderEnd(body) - 1)));
        } else {
            line.kind = Kind::kBad;
            why = body.front() == '[' ? "a section header without ']'"
                                      : "neither [section], key = value nor a comment";
        }
        line.section = section;
        if (line.kind == Kind::kBad && bad_line == 0) {
            bad_line = int(i + 1);
            bad_why = why;
        }
    }
    if (bad_line == 0 && first_error > 0) {
        bad_line = first_error;
        bad_why = "not understood";
    } else if (first_error < 0) {
        bad_line = -1;
    }
    if (bad_line == 0) return true;
    if (error) {
        *error = bad_line < 0 ? std::string("the parser ran out of memory")
                              : "line " + std::to_string(bad_line) + ": " + bad_why;
    }
    return false;
}

std::string KalvoIni::Text() const {
    std::string out;
    for (const Line& line : lines_) out += line.text + line.eol;
    return out;
}

bool KalvoIni::Save(const std::string& path, std::string* error) const {
    const auto fail = [&](const std::string& what) {
        if (error) *error = path + ": " + what + ": " + std::strerror(errno);
        return false;
    };
    std::string temp = path + ".XXXXXX";
    const int raw = ::mkstemp(temp.data());
    if (raw < 0) return fail("cannot create a temporary file");
    Fd fd(raw);
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    const bool written =
        ::fchmod(fd.get(), mode) == 0 && WriteAll(fd.get(), Text()) && ::fsync(fd.get()) == 0;
    if (!written || !fd.Close()) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail("cannot write");
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return fail("cannot replace the file");
    }
    // The rename itself reaches the disk with the folder.
    Fd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
    return true;
}

std::vector<std::string> KalvoIni::Sections() const {
    std::vector<std::string> out;
    for (const Line& line : lines_) {
        if (line.kind == Kind::kSection &&
            std::find(out.begin(), out.end(), line.section) == out.end())
            out.push_back(line.section);
    }
    return out;
}

bool KalvoIni::HasSection(std::string_view section) const {
    return std::any_of(lines_.begin(), lines_.end(), [&](const Line& line) {
        return line.section == section && (line.kind == Kind::kSection || line.kind == Kind::kKey);
    });
}

std::vector<std::string> KalvoIni::Keys(std::string_view section) const {
    std::vector<std::string> out;
    for (const Line& line : lines_) {
        if (line.kind == Kind::kKey && line.section == section &&
            std::find(out.begin(), out.end(), line.key) == out.end())
            out.push_back(line.key);
    }
    return out;
}

int KalvoIni::FindKey(std::string_view section, std::string_view key) const {
    for (size_t i = lines_.size(); i-- > 0;) {
        const Line& line = lines_[i];
        if (line.kind == Kind::kKey && line.section == section && line.key == key) return int(i);
    }
    return -1;
}

std::optional<std::string> KalvoIni::Get(std::string_view section, std::string_view key) const {
    const int at = FindKey(section, key);
    if (at < 0) return std::nullopt;
    return lines_[size_t(at)].value;
}

int KalvoIni::LineOf(std::string_view section, std::string_view key) const {
    return FindKey(section, key) + 1;
}

std::string KalvoIni::DefaultEol() const {
    for (const Line& line : lines_) {
        if (!line.eol.empty()) return line.eol;
    }
    return "\n";
}

void KalvoIni::InsertLine(size_t at, Line line) {
    line.eol = DefaultEol();
    // A last line without a break gets one before anything follows it.
    if (at == lines_.size() && !lines_.empty() && lines_.back().eol.empty())
        lines_.back().eol = line.eol;
    lines_.insert(lines_.begin() + std::ptrdiff_t(at), std::move(line));
}

bool KalvoIni::Set(std::string_view section, std::string_view key, std::string_view value) {
    if (!StorableKey(key) || !StorableValue(value) || !StorableSection(section)) return false;
    const int at = FindKey(section, key);
    if (at >= 0) {
        Line& line = lines_[size_t(at)];
        if (line.value == value) return true;
        // The value sits after the first '=' or ':' and the blanks behind it; the rest of the
        // line (blanks, a comment) stays.
        const size_t separator = line.text.find_first_of("=:");
        size_t begin = separator == std::string::npos ? line.text.size() : separator + 1;
        while (begin < line.text.size() && IsBlank(line.text[begin])) ++begin;
        if (separator != std::string::npos &&
            line.text.compare(begin, line.value.size(), line.value) == 0) {
            std::string prefix = line.text.substr(0, begin);
            std::string suffix = line.text.substr(begin + line.value.size());
            if (!value.empty() && !prefix.empty() && !IsBlank(prefix.back())) prefix += ' ';
            if (!value.empty() && !suffix.empty() && !IsBlank(suffix.front()))
                suffix.insert(0, 1, ' ');
            line.text = prefix + std::string(value) + suffix;
        } else {
            line.text = std::string(key) + " = " + std::string(value);
        }
        line.value = std::string(value);
        return true;
    }

    Line fresh;
    fresh.kind = Kind::kKey;
    fresh.section = std::string(section);
    fresh.key = std::string(key);
    fresh.value = std::string(value);
    fresh.text = fresh.key + " = " + fresh.value;

    // After the last key of the section's last block, else right after its header.
    int insert_after = -1;
    for (size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.section != section) continue;
        if (line.kind == Kind::kSection || line.kind == Kind::kKey) insert_after = int(i);
    }
    // Keys before any section go at the top when there are none yet.
    if (insert_after >= 0 || section.empty()) {
        InsertLine(size_t(insert_after + 1), std::move(fresh));
        return true;
    }
    if (!lines_.empty() && lines_.back().kind != Kind::kBlank) {
        Line blank;
        blank.section = lines_.back().section;
        InsertLine(lines_.size(), std::move(blank));
    }
    Line header;
    header.kind = Kind::kSection;
    header.section = std::string(section);
    header.text = "[" + header.section + "]";
    InsertLine(lines_.size(), std::move(header));
    InsertLine(lines_.size(), std::move(fresh));
    return true;
}

bool KalvoIni::Remove(std::string_view section, std::string_view key) {
    const auto gone = std::remove_if(lines_.begin(), lines_.end(), [&](const Line& line) {
        return line.kind == Kind::kKey && line.section == section && line.key == key;
    });
    const bool removed = gone != lines_.end();
    lines_.erase(gone, lines_.end());
    return removed;
}

void KalvoIni::RemoveSectionIfEmpty(std::string_view section) {
    if (section.empty()) return;
    for (size_t i = 0; i < lines_.size();) {
        if (lines_[i].kind != Kind::kSection || lines_[i].section != section) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < lines_.size() && lines_[end].kind == Kind::kBlank) ++end;
        if (end < lines_.size() && lines_[end].kind != Kind::kSection) {
            i = end;
            continue;
        }
        // The blank lines after the header go with it, but one stays to keep the section above
        // apart from the one below.
        const bool keep_one =
            end > i + 1 && end < lines_.size() && i > 0 && lines_[i - 1].kind != Kind::kBlank;
        lines_.erase(lines_.begin() + std::ptrdiff_t(i),
                     lines_.begin() + std::ptrdiff_t(end - (keep_one ? 1 : 0)));
        if (!lines_.empty() && i == lines_.size()) {
            while (!lines_.empty() && lines_.back().kind == Kind::kBlank) lines_.pop_back();
        }
    }
}

std::string KalvoIniPath(const std::string& data_folder) {
    if (data_folder.empty()) return "kalvo.ini";
    if (data_folder.back() == '/') return data_folder + "kalvo.ini";
    return data_folder + "/kalvo.ini";
}

}  // namespace kalvo
