// Recording window for tests of the download procedure: fills in a DlWindow,
// logs every status text, detail, progress value, button change and message
// box in order, and answers the boxes from a script. Also a log capture that
// takes the console output as lines.
#pragma once

#include "download.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

struct RecEvent {
    enum Kind { STEP, DETAIL, PROGRESS, ENABLE, BOX } kind;
    std::string text;    // STEP, DETAIL, BOX
    std::string caption; // BOX
    int32_t value;       // PROGRESS: percent; ENABLE: 0 or 1; BOX: the type value
    int32_t answer;      // BOX: the button given back
    int32_t is_busy;     // m_bBusy when the event happened
};

class RecordingWindow {
  public:
    explicit RecordingWindow(std::string port = "");
    RecordingWindow(const RecordingWindow&) = delete;
    RecordingWindow& operator=(const RecordingWindow&) = delete;

    // The interface handed to the procedure; p_user is this window.
    DlWindow win{};
    // The text the port choice gives; an empty one gives a null choice.
    std::string port;
    // Answers of the next message boxes, in order; DL_ID_OK once used up.
    std::deque<int32_t> answers;
    // Runs after each event is recorded (the test's hand on the window).
    std::function<void(RecordingWindow&, const RecEvent&)> on_event;
    // Runs at each test of m_bAbort by a block loop.
    std::function<void(RecordingWindow&)> on_check_abort;

    std::vector<RecEvent> events;
    // What the window shows now.
    std::string step_line = "ready", detail_line = "ready";
    int32_t progress = 0;
    int32_t is_download_enabled = 1;

    // The recorded events of one kind: texts (STEP, DETAIL, BOX) or values.
    std::vector<std::string> texts(RecEvent::Kind kind) const;
    std::vector<int32_t> values(RecEvent::Kind kind) const;
    // The boxes as "caption|text|type" (type in hexadecimal), for short checks.
    std::vector<std::string> boxes() const;

  private:
    void record(RecEvent e);
    static void cb_set_step(void* p_user, const char* p_text);
    static void cb_set_detail(void* p_user, const char* p_text);
    static void cb_set_progress(void* p_user, int32_t percent);
    static void cb_enable_download(void* p_user, int32_t is_enabled);
    static int32_t cb_message_box(void* p_user, const char* p_text, const char* p_caption,
                                  uint32_t type);
    static const char* cb_get_port(void* p_user);
    static void cb_check_abort(void* p_user);
};

// Takes the console output for its lifetime (restoring the callback before
// it) and splits it into lines; a line keeps its newline only in text().
class LogCapture {
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& text() const { return text_; }
    std::vector<std::string> lines() const;
    // Lines equal to line, and lines that contain part.
    int count(const std::string& line) const;
    int count_containing(const std::string& part) const;
    void clear() { text_.clear(); }

  private:
    static int cb_output(void* p_output, const char* text);
    std::string text_;
    void* p_saved_output_;
    int (*cb_saved_)(void*, const char*);
};
