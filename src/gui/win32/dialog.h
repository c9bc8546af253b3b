// The small dialog framework of the Win32 window layer: a dialog object over a
// dialog template of the resource script, run modally (with its own message
// loop, which also serves the keyboard of modeless dialogs) or created
// modeless; messages go to the object's OnMessage, initialisation data of
// the template (resource type 240) fills its lists before OnInitDialog.
#pragma once

#include <windows.h>

class Dialog {
  public:
    explicit Dialog(UINT nIDTemplate) : m_nIDTemplate(nIDTemplate) {}
    virtual ~Dialog();

    // Runs the dialog modally, owned by hOwner (disabled meanwhile); returns
    // the result given to EndDialog, -1 when the window could not be made.
    INT_PTR DoModal(HWND hOwner);
    // Creates the dialog modeless, owned by hOwner. FALSE when it could not
    // be made or already exists.
    BOOL Create(HWND hOwner);
    // Ends a modal run with nResult (the window goes when the loop ends).
    void EndDialog(INT_PTR nResult);
    // Destroys the window; the object stays.
    void DestroyWindow();
    HWND GetSafeHwnd() const { return m_hWnd; }

    HWND m_hWnd = nullptr;

  protected:
    // After the template's initialisation data: TRUE lets the dialog manager
    // set the focus.
    virtual BOOL OnInitDialog() { return TRUE; }
    // The OK and cancel commands: end a modal run with IDOK or IDCANCEL.
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // One message: TRUE when handled, with *p_result as the dialog
    // procedure's answer. The default handles the commands IDOK and IDCANCEL.
    virtual BOOL OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* p_result);

    UINT m_nIDTemplate;

  private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    BOOL m_bModal = FALSE;
    BOOL m_bEndModal = FALSE;
    INT_PTR m_nModalResult = -1;
};

// Sends each entry of the initialisation data of template nIDTemplate to its
// control of hWnd (combo box strings). The number of entries sent.
int dlg_exec_init(HWND hWnd, UINT nIDTemplate);
