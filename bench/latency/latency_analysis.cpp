#include "bench/latency/latency_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

int read_onset_log(const std::string &path, std::vector<onset_line> *out, int *bad) {
    std::ifstream in(path);
    if (!in) return -1;
    int count = 0;
    std::string text;
    while (std::getline(in, text)) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream fields(text);
        onset_line l;
        unsigned long long us = 0, seq = 0, offset = 0, reply = 0, due = 0;
        if (!(fields >> l.kind >> us >> seq >> offset)) {
            if (bad) (*bad)++;
            continue;
        }
        if (!(fields >> reply >> due)) reply = due = 0;
        l.mono_us = us;
        l.reply_us = reply;
        l.due_us = due;
        out->push_back(l);
        count++;
    }
    return count;
}

std::vector<uint64_t> onset_times(const std::vector<onset_line> &lines, const std::string &kind,
                                  uint64_t from_us, uint64_t to_us) {
    std::vector<uint64_t> t;
    for (const auto &l : lines)
        if (l.kind == kind && l.mono_us >= from_us && l.mono_us <= to_us) t.push_back(l.mono_us);
    std::sort(t.begin(), t.end());
    return t;
}

std::vector<int64_t> pair_onsets(const std::vector<uint64_t> &sent,
                                 const std::vector<uint64_t> &received, uint64_t window_us,
                                 size_t *lost) {
    std::vector<int64_t> out;
    size_t unpaired = 0, r = 0;
    for (uint64_t s : sent) {
        while (r < received.size() && received[r] < s) r++;
        if (r < received.size() && received[r] - s < window_us) {
            out.push_back(static_cast<int64_t>(received[r] - s));
            r++;
        } else {
            unpaired++;
        }
    }
    if (lost) *lost = unpaired;
    return out;
}

latency_summary summarise(std::vector<int64_t> latencies_us) {
    latency_summary s;
    s.n = latencies_us.size();
    if (s.n == 0) return s;
    std::sort(latencies_us.begin(), latencies_us.end());
    auto rank = [&](double p) {
        size_t k = static_cast<size_t>(std::ceil(p * static_cast<double>(s.n)));
        return static_cast<double>(latencies_us[k == 0 ? 0 : k - 1]) / 1000.0;
    };
    s.p50_ms = rank(0.50);
    s.p95_ms = rank(0.95);
    s.max_ms = static_cast<double>(latencies_us.back()) / 1000.0;
    return s;
}
