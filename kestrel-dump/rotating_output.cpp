#include "kestrel-dump/rotating_output.h"

#include <climits>
#include <cstdio>
#include <system_error>

namespace kestrel::dump {

namespace {

// Digits of COUNT - 1: the width of the numbers of a ring of COUNT files.
int DigitsFor(uint32_t files) {
    int digits = 0;
    for (uint32_t x = files ? files - 1 : 0; x > 0; x /= 10) ++digits;
    return digits;
}

}  // namespace

RotatingOutput::~RotatingOutput() {
    if (m_completer.joinable()) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_completer.join();
    }
}

bool RotatingOutput::OpenStream(std::FILE* out, FileKind kind, uint32_t snapLength,
                                std::string& error) {
    m_writer = std::make_unique<CaptureWriter>();
    m_name.assign(1, '-');
    m_files = 1;
    return m_writer->OpenStream(out, kind, snapLength, error);
}

bool RotatingOutput::Open(const std::string& pattern, FileKind kind, const Rotation& rotation,
                          std::string& error, Clock clock) {
    m_pattern = pattern;
    m_kind = kind;
    m_rotation = rotation;
    m_clock = clock ? std::move(clock) : [] { return std::time(nullptr); };
    m_digits = DigitsFor(rotation.files);
    m_begun = m_clock();
    return Begin(0, rotation.fileSize ? m_digits : 0, error);
}

bool RotatingOutput::MakeName(uint32_t number, int digits, std::string& name,
                              std::string& error) const {
    name = m_pattern;
    if (m_rotation.seconds) {
        std::tm tm{};
        char text[PATH_MAX + 1];
        const size_t n = localtime_r(&m_begun, &tm)
                             ? std::strftime(text, sizeof text, m_pattern.c_str(), &tm)
                             : 0;
        if (n == 0) {
            error = "no file name comes of " + m_pattern + " at this time";
            return false;
        }
        name.assign(text, n);
    }
    if (number != 0 || digits != 0) {
        char digitsText[16];
        std::snprintf(digitsText, sizeof digitsText, "%0*u", digits, number);
        name += digitsText;
    }
    return true;
}

bool RotatingOutput::Begin(uint32_t number, int digits, std::string& error) {
    std::string name;
    if (!MakeName(number, digits, name, error)) {
        m_failure = error;
        return false;
    }
    m_writer = std::make_unique<CaptureWriter>();
    if (!m_writer->Open(name, m_kind, error)) {
        m_writer.reset();
        m_failure = error;
        return false;
    }
    m_name = std::move(name);
    ++m_files;
    return true;
}

bool RotatingOutput::Write(const Packet& packet, std::string& error) {
    if (m_ended)
        return true;
    if (!m_writer) {
        // The next file could not be begun.
        error = m_failure;
        return false;
    }
    if (m_rotation.seconds) {
        const std::time_t now = m_clock();
        if (now - m_begun >= static_cast<std::time_t>(m_rotation.seconds)) {
            if (!LeaveBehind(error))
                return false;
            m_begun = now;
            ++m_timeFiles;
            if (!m_rotation.fileSize && m_rotation.files && m_timeFiles >= m_rotation.files) {
                m_ended = true;
                return true;
            }
            m_sizeNumber = 0;
            if (!Begin(0, m_rotation.fileSize ? m_digits : 0, error))
                return false;
        }
    }
    if (m_rotation.fileSize && m_writer->Bytes() > m_rotation.fileSize) {
        if (!LeaveBehind(error))
            return false;
        if (++m_sizeNumber >= m_rotation.files && m_rotation.files)
            m_sizeNumber = 0;
        if (!Begin(m_sizeNumber, m_digits, error))
            return false;
    }
    if (!m_writer->Write(packet, error))
        return false;
    ++m_count;
    return true;
}

bool RotatingOutput::LeaveBehind(std::string& error) {
    std::unique_lock<std::mutex> hold(m_lock);
    if (!m_completeError.empty()) {
        error = m_completeError;
        return false;
    }
    m_leftBehind.push_back(std::move(m_writer));
    if (!m_completer.joinable()) {
        try {
            m_completer = std::thread([this] { Complete(true); });
        } catch (const std::system_error&) {
            // No thread to be had: this one completes the file.
            hold.unlock();
            Complete(false);
            return WaitForCompleted(error);
        }
    }
    hold.unlock();
    m_changed.notify_all();
    return true;
}

// Completes the files left behind, in order: on the completing thread
// (`waits`) until the object goes, else until none is left.
void RotatingOutput::Complete(bool waits) {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        if (waits)
            m_changed.wait(hold, [&] { return m_stopping || !m_leftBehind.empty(); });
        if (m_leftBehind.empty())
            return;
        std::unique_ptr<CaptureWriter> file = std::move(m_leftBehind.front());
        m_leftBehind.pop_front();
        m_completing = true;
        hold.unlock();
        std::string error;
        const bool completed = file->Finish(error);
        file.reset();
        hold.lock();
        m_completing = false;
        if (!completed && m_completeError.empty())
            m_completeError = error;
        m_changed.notify_all();
    }
}

bool RotatingOutput::WaitForCompleted(std::string& error) {
    std::unique_lock<std::mutex> hold(m_lock);
    m_changed.wait(hold, [&] { return m_leftBehind.empty() && !m_completing; });
    if (!m_completeError.empty()) {
        error = m_completeError;
        return false;
    }
    return true;
}

bool RotatingOutput::Finish(std::string& error) {
    if (!WaitForCompleted(error))
        return false;
    if (!m_writer)
        return true;
    const bool finished = m_writer->Finish(error);
    m_writer.reset();
    return finished;
}

void ReportWritten(const RotatingOutput& output) {
    const auto count = static_cast<unsigned long long>(output.Count());
    if (output.Files() > 1) {
        std::fprintf(stderr, "kestrel-dump: %llu packets written to %llu files, the last %s\n",
                     count, static_cast<unsigned long long>(output.Files()), output.Name().c_str());
    } else {
        std::fprintf(stderr, "kestrel-dump: %llu packets written to %s\n", count,
                     output.Name().c_str());
    }
}

}  // namespace kestrel::dump
