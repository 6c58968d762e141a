// A small INI reader/writer with the semantics of the Windows profile calls:
// sections and keys are matched without regard to case, a missing key gives
// the caller's default, integers are read C-style from their leading digits,
// and a write changes only the keys it writes, keeping every other line
// (other sections, unknown keys, comments, malformed lines) as it was.
#pragma once

#include <string>
#include <vector>

class CIniFile {
  public:
    // Reads the file; a missing or unreadable file is a file without keys.
    explicit CIniFile(const std::string &path);

    bool has(const std::string &section, const std::string &key) const;
    std::string get_string(const std::string &section, const std::string &key,
                           const std::string &def, size_t max_len = 511) const;
    int get_int(const std::string &section, const std::string &key, int def) const;

    void set_string(const std::string &section, const std::string &key, const std::string &value);
    void set_int(const std::string &section, const std::string &key, int value);

    // Writes the whole file atomically: a temporary file beside it, then rename.
    // Returns 0 or -1.
    int save() const;

  private:
    // Index of the key's line, or -1; section_end receives where a new key of
    // the section goes (or -1 when the section does not exist).
    int find(const std::string &section, const std::string &key, int *section_end) const;

    std::string path_;
    std::vector<std::string> lines_;
};
