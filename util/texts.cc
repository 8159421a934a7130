#include "util/texts.h"

namespace qm::texts {

// 연결중...
const char kConnectTitle[] = "\xbf\xac\xb0\xe1\xc1\xdf...";
const char kDesignCaption[] = "Downloading New Quillmar.exe";
const char kCancelLink[] = "Cancel";
const char kProxyLink[] = "Proxy";
const char kConnecting[] = "On Connecting to Host.....";
const char kConnected[] = "Connected";

// 알림
const char kNoticeCaption[] = "\xbe\xcb\xb8\xb2";
// 프록시 서버가 있다면 확인을 누르고 설정값을 입력하세요.
const char kProxyPrompt[] =
    "\xc7\xc1\xb7\xcf\xbd\xc3 \xbc\xad\xb9\xf6\xb0\xa1 \xc0\xd6\xb4\xd9\xb8\xe9 "
    "\xc8\xae\xc0\xce\xc0\xbb \xb4\xa9\xb8\xa3\xb0\xed \xbc\xb3\xc1\xa4\xb0\xaa\xc0\xbb "
    "\xc0\xd4\xb7\xc2\xc7\xcf\xbc\xbc\xbf\xe4.";
// 다시 접속하세요
const char kConnectAgain[] = "\xb4\xd9\xbd\xc3 \xc1\xa2\xbc\xd3\xc7\xcf\xbc\xbc\xbf\xe4";

const char kDownloadingLauncher[] = "Downloading new Quillmar.exe...";
const char kDownloadingSplash[] = "Downloading Splash...";
const char kDownloadingEngine[] = "Downloading Engine...";
const char kDownloadingData[] = "Downloading Data Files...";
const char kDownloadingPrefix[] = "Downloading ";
const char kFilesSuffix[] = " Files...";
// 다른 서버에서 다시 받는 중입니다...
const char kRetryingFromAnotherServer[] =
    "\xb4\xd9\xb8\xa5 \xbc\xad\xb9\xf6\xbf\xa1\xbc\xad \xb4\xd9\xbd\xc3 \xb9\xde\xb4\xc2 "
    "\xc1\xdf\xc0\xd4\xb4\xcf\xb4\xd9...";

// 연결되지 않았습니다
const char kNotConnected[] =
    "\xbf\xac\xb0\xe1\xb5\xc7\xc1\xf6 \xbe\xca\xbe\xd2\xbd\xc0\xb4\xcf\xb4\xd9";
// Quillmar.exe 다운로드 실패
const char kLauncherDownloadFailed[] =
    "Quillmar.exe \xb4\xd9\xbf\xee\xb7\xce\xb5\xe5 \xbd\xc7\xc6\xd0";
// 업데이트 서버의 파일이 검사를 통과하지 못했습니다
const char kServerFilesFailedCheck[] =
    "\xbe\xf7\xb5\xa5\xc0\xcc\xc6\xae \xbc\xad\xb9\xf6\xc0\xc7 \xc6\xc4\xc0\xcf\xc0\xcc "
    "\xb0\xcb\xbb\xe7\xb8\xa6 \xc5\xeb\xb0\xfa\xc7\xcf\xc1\xf6 "
    "\xb8\xf8\xc7\xdf\xbd\xc0\xb4\xcf\xb4\xd9";
// Engine 다운로드 실패
const char kEngineDownloadFailed[] = "Engine \xb4\xd9\xbf\xee\xb7\xce\xb5\xe5 \xbd\xc7\xc6\xd0";
// Data 다운로드 실패
const char kDataDownloadFailed[] = "Data \xb4\xd9\xbf\xee\xb7\xce\xb5\xe5 \xbd\xc7\xc6\xd0";
// " 다운로드 실패"
const char kDownloadFailedSuffix[] = " \xb4\xd9\xbf\xee\xb7\xce\xb5\xe5 \xbd\xc7\xc6\xd0";
// 콤포넌트 다운로드 실패
const char kComponentDownloadFailed[] =
    "\xc4\xde\xc6\xf7\xb3\xcd\xc6\xae \xb4\xd9\xbf\xee\xb7\xce\xb5\xe5 \xbd\xc7\xc6\xd0";

const char kProxyDialogTitle[] = "  [Setting Proxy Server ]";
const char kProxyServerLabel[] = "Proxy Server";
const char kProxyPortLabel[] = "Proxy Port";
const char kProxyUserNameLabel[] = "(Proxy UserName)";
const char kProxyPasswordLabel[] = "(Proxy Password)";
// ※ 프록시 서버 설정값은 아래와 같은 방법으로 확인 가능합니다
const char kProxyHelp1[] =
    "\xa1\xd8 \xc7\xc1\xb7\xcf\xbd\xc3 \xbc\xad\xb9\xf6 \xbc\xb3\xc1\xa4\xb0\xaa\xc0\xba "
    "\xbe\xc6\xb7\xa1\xbf\xcd \xb0\xb0\xc0\xba \xb9\xe6\xb9\xfd\xc0\xb8\xb7\xce "
    "\xc8\xae\xc0\xce \xb0\xa1\xb4\xc9\xc7\xd5\xb4\xcf\xb4\xd9";
// 인터넷Explore->도구->인터넷옵션->연결->LAN설정->
const char kProxyHelp2[] =
    "\xc0\xce\xc5\xcd\xb3\xdd"
    "Explore->\xb5\xb5\xb1\xb8->\xc0\xce\xc5\xcd\xb3\xdd\xbf\xc9\xbc\xc7->\xbf\xac\xb0\xe1->"
    "LAN\xbc\xb3\xc1\xa4->";
// ->LAN설정 버튼클릭->프록시서버 주소와 Port를 확인
const char kProxyHelp3[] =
    "->LAN\xbc\xb3\xc1\xa4 \xb9\xf6\xc6\xb0\xc5\xac\xb8\xaf->\xc7\xc1\xb7\xcf\xbd\xc3\xbc\xad"
    "\xb9\xf6 \xc1\xd6\xbc\xd2\xbf\xcd Port\xb8\xa6 \xc8\xae\xc0\xce";
// ※ 안된다면 네트웤담당자에게 문의하세요
const char kProxyHelp4[] =
    "\xa1\xd8 \xbe\xc8\xb5\xc8\xb4\xd9\xb8\xe9 \xb3\xd7\xc6\xae\x9fp\xb4\xe3\xb4\xe7\xc0\xda"
    "\xbf\xa1\xb0\xd4 \xb9\xae\xc0\xc7\xc7\xcf\xbc\xbc\xbf\xe4";
const char kOk[] = "OK";
const char kCancel[] = "Cancel";

// 굴림
const char kGulimFont[] = "\xb1\xbc\xb8\xb2";
// 한국어(한글)
const char kKoreanInputMethod[] = "\xc7\xd1\xb1\xb9\xbe\xee(\xc7\xd1\xb1\xdb)";

platform::ProxyDialogTexts ProxyDialog() {
  return {kProxyDialogTitle,
          kProxyServerLabel,
          kProxyPortLabel,
          kProxyUserNameLabel,
          kProxyPasswordLabel,
          {kProxyHelp1, kProxyHelp2, kProxyHelp3, kProxyHelp4},
          kOk,
          kCancel};
}

}  // namespace qm::texts
