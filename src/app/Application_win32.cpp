// The program's start: the pipeline device is held open for as long as the main window
// exists (when its driver is installed), and the main dialog runs modally.
#include <windows.h>
#include <commctrl.h>

#include "app/MainDialog_win32.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    InstallInterfaceFactory();
    auto* dialog = new MainDialog();
    char message[256];
    HANDLE pipeline = OpenPipelineDevice(message);  // the text goes nowhere
    dialog->RunModal(instance);
    if (pipeline != INVALID_HANDLE_VALUE) CloseHandle(pipeline);
    delete dialog;
    return 0;
}
