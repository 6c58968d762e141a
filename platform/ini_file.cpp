#include "platform/ini_file.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool same(const std::string &a, const std::string &b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// "[name]" -> name; anything else -> false.
bool section_name(const std::string &line, std::string *name) {
    std::string t = trim(line);
    if (t.size() < 2 || t.front() != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = trim(t.substr(1, close - 1));
    return true;
}

// "key = value" -> key, value; comments and lines without '=' -> false.
bool key_value(const std::string &line, std::string *key, std::string *value) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *key = trim(t.substr(0, eq));
    if (value) *value = trim(t.substr(eq + 1));
    return true;
}

}  // namespace

CIniFile::CIniFile(const std::string &path) : path_(path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back(line);
    }
}

int CIniFile::find(const std::string &section, const std::string &key, int *section_end) const {
    bool inside = false;
    int end = -1;
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string name, k;
        if (section_name(lines_[i], &name)) {
            inside = same(name, section);
            if (inside) end = int(i) + 1;
            continue;
        }
        if (!inside) continue;
        if (key_value(lines_[i], &k, nullptr)) {
            if (same(k, key)) {
                if (section_end) *section_end = end;
                return int(i);
            }
        }
        // New keys go after the section's last non-blank line.
        if (!trim(lines_[i]).empty()) end = int(i) + 1;
    }
    if (section_end) *section_end = end;
    return -1;
}

bool CIniFile::has(const std::string &section, const std::string &key) const {
    return find(section, key, nullptr) >= 0;
}

std::string CIniFile::get_string(const std::string &section, const std::string &key,
                                 const std::string &def, size_t max_len) const {
    int i = find(section, key, nullptr);
    if (i < 0) return def.substr(0, max_len);
    std::string k, v;
    key_value(lines_[size_t(i)], &k, &v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return v.substr(0, max_len);
}

int CIniFile::get_int(const std::string &section, const std::string &key, int def) const {
    if (!has(section, key)) return def;
    std::string v = get_string(section, key, "");
    return int(std::strtol(v.c_str(), nullptr, 10));
}

void CIniFile::set_string(const std::string &section, const std::string &key,
                          const std::string &value) {
    int end = -1;
    int i = find(section, key, &end);
    std::string line = key + "=" + value;
    if (i >= 0) {
        lines_[size_t(i)] = line;
    } else if (end >= 0) {
        lines_.insert(lines_.begin() + end, line);
    } else {
        lines_.push_back("[" + section + "]");
        lines_.push_back(line);
    }
}

void CIniFile::set_int(const std::string &section, const std::string &key, int value) {
    set_string(section, key, std::to_string(value));
}

int CIniFile::save() const {
    std::string tmp = path_ + ".tmp";
    FILE *f = fopen(tmp.c_str(), "wb");
    if (!f) return -1;
    bool ok = true;
    for (const std::string &l : lines_) {
        if (fputs(l.c_str(), f) < 0 || fputc('\n', f) == EOF) ok = false;
    }
    if (fflush(f) != 0 || fsync(fileno(f)) != 0) ok = false;
    if (fclose(f) != 0) ok = false;
    if (!ok || rename(tmp.c_str(), path_.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}
