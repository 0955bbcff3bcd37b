// The progress line of long subcommands.
#include <unistd.h>

#include <cstdio>

#include "Command.h"

namespace orvter {

orv::OrvPtr<IOrvProgress> startProgress(bool quiet, const std::string& text) {
    // Standard error, and only a terminal: piped data and logs never carry the line.
    if (quiet || !isatty(STDERR_FILENO)) return nullptr;
    orv::OrvPtr<IOrvProgress> progress(newConsoleProgress(stderr));
    if (progress) progress->setText(text.c_str());
    return progress;
}

void endProgress(orv::OrvPtr<IOrvProgress>& progress) {
    if (!progress) return;
    progress = nullptr;  // the release completes the line to 100%
    std::fputc('\n', stderr);
}

namespace {

// The length of the well-formed UTF-8 sequence at `s[i]`, or 0 (overlong forms, surrogates and
// code points past U+10FFFF are not well formed).
size_t utf8Length(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if (c < 0x80) return 1;
    size_t n = c >= 0xC2 && c <= 0xDF   ? 2
               : c >= 0xE0 && c <= 0xEF ? 3
               : c >= 0xF0 && c <= 0xF4 ? 4
                                        : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    const unsigned char second = at(i + 1);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
        return 0;
    return n;
}

// `text` with each byte that is not part of well-formed UTF-8 taken as the character of that
// number (U+0080 to U+00FF, as Latin-1 reads it); true when there was one.
bool byteAsCharacter(std::string& text) {
    std::string out;
    bool changed = false;
    for (size_t i = 0; i < text.size();) {
        if (const size_t n = utf8Length(text, i)) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        const auto b = static_cast<unsigned char>(text[i++]);
        out += static_cast<char>(0xC0 | (b >> 6));
        out += static_cast<char>(0x80 | (b & 0x3F));
        changed = true;
    }
    if (changed) text.swap(out);
    return changed;
}

// Every string and key of `value` made well-formed UTF-8 as byteAsCharacter does.
bool makeUtf8(nlohmann::ordered_json& value) {
    bool changed = false;
    if (value.is_string()) {
        changed = byteAsCharacter(value.get_ref<std::string&>());
    } else if (value.is_array()) {
        for (auto& item : value) changed = makeUtf8(item) || changed;
    } else if (value.is_object()) {
        nlohmann::ordered_json fixed = nlohmann::ordered_json::object();
        for (auto& [key, item] : value.items()) {
            std::string k = key;
            changed = byteAsCharacter(k) || changed;
            changed = makeUtf8(item) || changed;
            fixed[k] = std::move(item);
        }
        value = std::move(fixed);
    }
    return changed;
}

}  // namespace

void printJson(const nlohmann::ordered_json& value, bool toStderr) {
    // Header texts and paths need not be UTF-8, and JSON text must be: a byte that is not is
    // written \u00XX (all output ASCII then), so the answer is never lost to an encoding error.
    nlohmann::ordered_json copy = value;
    const bool escaped = makeUtf8(copy);
    const std::string text = copy.dump(2, ' ', escaped) + "\n";
    if (toStderr)
        std::fputs(text.c_str(), stderr);
    else
        writeText(text);
}

namespace {

// 12,345,678
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace

PointProgress::PointProgress(bool quiet, const std::string& verb, uint64_t total, double share)
    : m_progress(startProgress(quiet, verb)),
      m_verb(verb),
      m_total(total),
      m_share(share),
      m_start(std::chrono::steady_clock::now()),
      m_drawn(m_start) {}

void PointProgress::phase(const std::string& verb, double share) {
    m_base = m_fraction;
    m_share = share;
    m_verb = verb;
    m_start = std::chrono::steady_clock::now();
    if (m_progress) m_progress->setText(verb.c_str());
}

void PointProgress::update(uint64_t done) {
    if (!m_progress || m_total == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < m_total && now - m_drawn < std::chrono::milliseconds(100)) return;
    m_drawn = now;
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double rate = seconds > 0 ? done / seconds : 0.0;
    char text[160];
    std::snprintf(text, sizeof text, "%s: %s of %s points, %.1f M points/s, %.0f s left",
                  m_verb.c_str(), grouped(done).c_str(), grouped(m_total).c_str(), rate / 1e6,
                  rate > 0 ? (m_total - (done < m_total ? done : m_total)) / rate : 0.0);
    m_progress->setText(text);
    // The line's percentage follows the points; the reporter takes steps, not positions.
    const double fraction =
        m_base + m_share * (done < m_total ? static_cast<double>(done) / m_total : 1.0);
    if (fraction > m_fraction) {
        m_progress->step(fraction - m_fraction);
        m_fraction = fraction;
    }
}

void PointProgress::tick() {
    if (!m_progress) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    char text[160];
    std::snprintf(text, sizeof text, "%s: %.1f s", m_verb.c_str(), seconds);
    m_progress->setText(text);
}

void PointProgress::end() {
    endProgress(m_progress);
}

}  // namespace orvter
