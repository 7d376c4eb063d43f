#include "state/failure.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

std::mutex capture_mutex;
failure kept;            // the live capture's words, under capture_mutex
bool capturing = false;

}  // namespace

void say_failure(std::string_view text, int error) {
    {
        std::lock_guard<std::mutex> hold(capture_mutex);
        if (capturing) {
            kept.said.append(text);
            if (kept.error == 0) kept.error = error;
            return;
        }
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void say_failuref(const char *format, ...) {
    std::va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    say_failure(text);
}

void print_failure(const failure &f) {
    std::fwrite(f.said.data(), 1, f.said.size(), stderr);
}

std::string failure_line(const failure &f, std::string_view otherwise) {
    std::string line = f.said;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    for (char &c : line)
        if (c == '\n') c = ';';
    return line.empty() ? std::string(otherwise) : line;
}

failure_capture::failure_capture() {
    std::lock_guard<std::mutex> hold(capture_mutex);
    outer_ = std::move(kept);
    outer_capturing_ = capturing;
    kept = failure{};
    capturing = true;
}

failure_capture::~failure_capture() {
    std::lock_guard<std::mutex> hold(capture_mutex);
    kept = std::move(outer_);
    capturing = outer_capturing_;
}

failure failure_capture::take(std::string file) {
    std::lock_guard<std::mutex> hold(capture_mutex);
    failure f = std::move(kept);
    kept = failure{};
    f.file = std::move(file);
    return f;
}
