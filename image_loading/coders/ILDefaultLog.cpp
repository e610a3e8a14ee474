#include "image_loading/coders/internal/ILDefaultLog.h"

const OSLogRef& ILDefaultLog() {
  static const OSLogRef log = os_log_create("com.quillfern.ILRemoteImage", "Default");
  return log;
}
