// Message boxes with the type values and answers of the platform the loader
// came from: the type picks buttons, icon and default button, and the box
// returns the id of the button pressed.
#pragma once

#include <cstdint>

class QWidget;

enum {
    // Buttons (type & 0xF).
    DLG_MB_OK = 0x0,
    DLG_MB_OKCANCEL = 0x1,
    DLG_MB_ABORTRETRYIGNORE = 0x2,
    DLG_MB_YESNOCANCEL = 0x3,
    DLG_MB_YESNO = 0x4,
    DLG_MB_RETRYCANCEL = 0x5,
    // Icon (type & 0xF0).
    DLG_MB_ICONHAND = 0x10,
    DLG_MB_ICONQUESTION = 0x20,
    DLG_MB_ICONEXCLAMATION = 0x30,
    DLG_MB_ICONASTERISK = 0x40,
    // Default button (type & 0xF00).
    DLG_MB_DEFBUTTON1 = 0x000,
    DLG_MB_DEFBUTTON2 = 0x100,
    DLG_MB_DEFBUTTON3 = 0x200,
    DLG_MB_DEFBUTTON4 = 0x300,

    // Answers.
    DLG_IDOK = 1,
    DLG_IDCANCEL = 2,
    DLG_IDABORT = 3,
    DLG_IDRETRY = 4,
    DLG_IDIGNORE = 5,
    DLG_IDYES = 6,
    DLG_IDNO = 7,
};

// Shows a modal box with p_text (plain text, exactly as given) and the caption
// p_caption, owned by p_owner (may be null), and returns the answer id. Each
// button carries its answer id as the property "dlgId". Escape answers
// DLG_IDCANCEL where there is a Cancel button, DLG_IDOK for a lone OK.
// Unknown button codes show OK alone.
int32_t dlg_message_box(QWidget* p_owner, const char* p_text, const char* p_caption, uint32_t type);
