#include "util/texts.h"

#include <gtest/gtest.h>

#include "platform/text.h"

namespace qm {
namespace {

// The escaped code page 949 bytes say what their comments say.
TEST(TextsTest, Cp949BytesMatchTheirText) {
  const std::pair<const char*, const char*> cases[] = {
      {texts::kConnectTitle, "연결중..."},
      {texts::kNoticeCaption, "알림"},
      {texts::kProxyPrompt, "프록시 서버가 있다면 확인을 누르고 설정값을 입력하세요."},
      {texts::kConnectAgain, "다시 접속하세요"},
      {texts::kNotConnected, "연결되지 않았습니다"},
      {texts::kLauncherDownloadFailed, "Quillmar.exe 다운로드 실패"},
      {texts::kEngineDownloadFailed, "Engine 다운로드 실패"},
      {texts::kDataDownloadFailed, "Data 다운로드 실패"},
      {texts::kDownloadFailedSuffix, " 다운로드 실패"},
      {texts::kComponentDownloadFailed, "콤포넌트 다운로드 실패"},
      {texts::kRetryingFromAnotherServer, "다른 서버에서 다시 받는 중입니다..."},
      {texts::kProxyHelp1, "※ 프록시 서버 설정값은 아래와 같은 방법으로 확인 가능합니다"},
      {texts::kProxyHelp2, "인터넷Explore->도구->인터넷옵션->연결->LAN설정->"},
      {texts::kProxyHelp3, "->LAN설정 버튼클릭->프록시서버 주소와 Port를 확인"},
      {texts::kProxyHelp4, "※ 안된다면 네트웤담당자에게 문의하세요"},
      {texts::kGulimFont, "굴림"},
      {texts::kKoreanInputMethod, "한국어(한글)"},
  };
  for (const auto& [cp949, utf8] : cases) {
    EXPECT_EQ(platform::Cp949ToUtf8(cp949), utf8);
  }
}

}  // namespace
}  // namespace qm
