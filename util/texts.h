// Every text the launcher and its update run show, as code page 949 bytes
// (the views convert them for display). The UTF-8 form of each is in
// texts.cc.
#pragma once

#include "platform/ui.h"

namespace qm::texts {

// Connect window.
extern const char kConnectTitle[];
extern const char kDesignCaption[];
extern const char kCancelLink[];
extern const char kProxyLink[];
extern const char kConnecting[];
extern const char kConnected[];

// Boxes after a failed run and from the proxy dialog.
extern const char kNoticeCaption[];
extern const char kProxyPrompt[];
extern const char kConnectAgain[];

// Status texts of the update run while it fetches.
extern const char kDownloadingLauncher[];
extern const char kDownloadingSplash[];
extern const char kDownloadingEngine[];
extern const char kDownloadingData[];
extern const char kDownloadingPrefix[];  // before a data entry's key or a component's stem
extern const char kFilesSuffix[];        // after a data entry's key
// While an archive's transfer switches to another source or waits to retry.
extern const char kRetryingFromAnotherServer[];

// Status texts that the update run leaves behind on failure.
extern const char kNotConnected[];
// The update server's files failed their integrity check (a -1 result).
extern const char kServerFilesFailedCheck[];
extern const char kLauncherDownloadFailed[];
extern const char kEngineDownloadFailed[];
extern const char kDataDownloadFailed[];
extern const char kDownloadFailedSuffix[];  // after a data entry's key, e.g. AData1
extern const char kComponentDownloadFailed[];

// Proxy dialog.
extern const char kProxyDialogTitle[];
extern const char kProxyServerLabel[];
extern const char kProxyPortLabel[];
extern const char kProxyUserNameLabel[];
extern const char kProxyPasswordLabel[];
extern const char kProxyHelp1[];
extern const char kProxyHelp2[];
extern const char kProxyHelp3[];
extern const char kProxyHelp4[];
extern const char kOk[];
extern const char kCancel[];

// The proxy dialog's texts, from the constants above.
platform::ProxyDialogTexts ProxyDialog();

// Fonts and input method named by the windows.
extern const char kGulimFont[];
extern const char kKoreanInputMethod[];

}  // namespace qm::texts
