// The installer's application object.
#pragma once

#include "app/framework.h"

namespace zyv {

class CZyvInstallApp : public CWinApp {
 public:
  CZyvInstallApp();
  /// Runs the installation and answers false, so the application ends without a message loop.
  bool InitInstance() override;

  static const CommandEntry kCommandMap[];
};

/// Company key under which the framework would keep settings; no setting is ever stored.
inline constexpr char16_t kRegistryCompany[] = u"应用程序向导生成的本地应用程序";

/// ICC_WIN95_CLASSES, and the size field of the initialisation record as the program sets it.
inline constexpr std::uint32_t kCommonControlsClasses = 0xFF;
inline constexpr std::uint32_t kCommonControlsRecordSize = 8;

}  // namespace zyv
