#include <langinfo.h>

#include "base/datetime_text.h"

namespace vorel {

LocaleFormats SystemLocaleFormats() {
  return LocaleFormats{nl_langinfo(D_FMT), nl_langinfo(T_FMT)};
}

}  // namespace vorel
