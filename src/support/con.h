// Console channel: the one place through which every module writes its log
// and trace text, and an input side that can be polled or waited on.
#pragma once

typedef int (*tyCon_cb_output)(void* p_output, const char* text);
typedef int (*tyCon_cb_input)(void* p_input);

// Stores the output callback and its context; a null callback switches
// output off. Returns 1.
int Con_set_cb_output(tyCon_cb_output cb_output, void* p_output);
tyCon_cb_output Con_get_cb_output(void);
void* Con_get_p_output(void);

// Stores the input callback and its context. Returns 1.
int Con_set_cb_input(tyCon_cb_input cb_input, void* p_input);
tyCon_cb_input Con_get_cb_input(void);
void* Con_get_p_input(void);

// Hands text to the output callback under the output lock. Returns the
// callback's result; -1 when no callback is registered or text is null.
int Con_print(const char* text);
// Formats into the shared 8192-character buffer (a longer text is cut to
// 8191 characters) and prints it. -1 when no callback is registered.
int Con_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Calls the input callback once. Its result; -1 when none is registered.
int Con_read_nw(void);
// Polls the input callback until it gives 0 or more; -1 at once when none
// is registered.
int Con_read(void);

// The frame of error, info and warning lines: "level-path-function: text".
// __FILE__ is the path from the repository root (see -fmacro-prefix-map).
#define CON_LOG(level, format, ...)                                                                \
    Con_printf("%s-%s-%s: " format, level, __FILE__, __func__ __VA_OPT__(, ) __VA_ARGS__)
