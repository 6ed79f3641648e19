// The one message at start-up when this process may not send echo requests at all, saying how
// to allow it; without it every monitor would only show "Cannot Resolve IP Address".
//
//   ShowPingPermissionProblem(&Main);   // before the main window shows
//   ShowPingPermissionProblem(nullptr, [] { return TIcmpProbeResult{false, "", "No."}; });
#pragma once

#include "icmp_dll.h"
#include "zsMessageBox.h"

#include <QString>

#include <functional>

// Probe tells whether echo requests can be sent: the echo service's own probe in the program,
// a result of its choosing in a test. True when the message was shown.
inline bool ShowPingPermissionProblem(QWidget* Parent,
                                      const std::function<TIcmpProbeResult()>& Probe = ProbeIcmp) {
    const TIcmpProbeResult Result = Probe();
    if (Result.Works) {
        return false;
    }
    TzsMessageBox::Warning(Parent, QString::fromStdString(Result.Problem));
    return true;
}
