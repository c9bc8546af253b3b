// Recording window and log capture for tests of the download procedure.
#include "recording_window.h"

#include "con.h"

#include <algorithm>
#include <cstdio>

RecordingWindow::RecordingWindow(std::string port_) : port(std::move(port_)) {
    win.p_user = this;
    win.cb_set_step = cb_set_step;
    win.cb_set_detail = cb_set_detail;
    win.cb_set_progress = cb_set_progress;
    win.cb_enable_download = cb_enable_download;
    win.cb_message_box = cb_message_box;
    win.cb_get_port = cb_get_port;
    win.cb_check_abort = cb_check_abort;
}

void RecordingWindow::record(RecEvent e) {
    e.is_busy = win.m_bBusy;
    events.push_back(e);
    if (on_event) on_event(*this, events.back());
}

std::vector<std::string> RecordingWindow::texts(RecEvent::Kind kind) const {
    std::vector<std::string> out;
    for (const RecEvent& e : events)
        if (e.kind == kind) out.push_back(e.text);
    return out;
}

std::vector<int32_t> RecordingWindow::values(RecEvent::Kind kind) const {
    std::vector<int32_t> out;
    for (const RecEvent& e : events)
        if (e.kind == kind) out.push_back(e.value);
    return out;
}

std::vector<std::string> RecordingWindow::boxes() const {
    std::vector<std::string> out;
    for (const RecEvent& e : events) {
        if (e.kind != RecEvent::BOX) continue;
        char type[16];
        snprintf(type, sizeof type, "%x", static_cast<unsigned>(e.value));
        out.push_back(e.caption + "|" + e.text + "|" + type);
    }
    return out;
}

void RecordingWindow::cb_set_step(void* p_user, const char* p_text) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    w->step_line = p_text;
    w->record({RecEvent::STEP, p_text, "", 0, 0, 0});
}

void RecordingWindow::cb_set_detail(void* p_user, const char* p_text) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    w->detail_line = p_text;
    w->record({RecEvent::DETAIL, p_text, "", 0, 0, 0});
}

void RecordingWindow::cb_set_progress(void* p_user, int32_t percent) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    w->progress = percent;
    w->record({RecEvent::PROGRESS, "", "", percent, 0, 0});
}

void RecordingWindow::cb_enable_download(void* p_user, int32_t is_enabled) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    w->is_download_enabled = is_enabled;
    w->record({RecEvent::ENABLE, "", "", is_enabled, 0, 0});
}

int32_t RecordingWindow::cb_message_box(void* p_user, const char* p_text, const char* p_caption,
                                        uint32_t type) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    int32_t answer = DL_ID_OK;
    if (!w->answers.empty()) {
        answer = w->answers.front();
        w->answers.pop_front();
    }
    w->record({RecEvent::BOX, p_text, p_caption, static_cast<int32_t>(type), answer, 0});
    return answer;
}

const char* RecordingWindow::cb_get_port(void* p_user) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    return w->port.empty() ? nullptr : w->port.c_str();
}

void RecordingWindow::cb_check_abort(void* p_user) {
    auto* w = static_cast<RecordingWindow*>(p_user);
    if (w->on_check_abort) w->on_check_abort(*w);
}

LogCapture::LogCapture() : p_saved_output_(Con_get_p_output()), cb_saved_(Con_get_cb_output()) {
    Con_set_cb_output(cb_output, this);
}

LogCapture::~LogCapture() {
    Con_set_cb_output(cb_saved_, p_saved_output_);
}

int LogCapture::cb_output(void* p_output, const char* text) {
    static_cast<LogCapture*>(p_output)->text_ += text;
    return 1;
}

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < text_.size()) {
        size_t j = text_.find('\n', i);
        if (j == std::string::npos) j = text_.size();
        out.push_back(text_.substr(i, j - i));
        i = j + 1;
    }
    return out;
}

int LogCapture::count(const std::string& line) const {
    std::vector<std::string> all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

int LogCapture::count_containing(const std::string& part) const {
    std::vector<std::string> all = lines();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& l) {
        return l.find(part) != std::string::npos;
    }));
}
