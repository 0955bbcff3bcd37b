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

void printJson(const nlohmann::ordered_json& value, bool toStderr) {
    if (toStderr)
        std::fprintf(stderr, "%s\n", value.dump(2).c_str());
    else
        writeText(value.dump(2) + "\n");
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
