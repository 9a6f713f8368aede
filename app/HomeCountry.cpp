#include "app/HomeCountry.h"

#include "fax/NumberFront.h"

#include <QLocale>

namespace app {

int DefaultHomeCountry() {
    const QLocale locale = QLocale::system();
    if (locale.territory() == QLocale::AnyTerritory) return 0;
    return fax::CountryCodeOfRegion(QLocale::territoryToCode(locale.territory()).toStdString());
}

bool IsHomeCountry(int code) { return code == 0 || fax::IsCountryCode(code); }

}  // namespace app
