// The geocoder as a module of its own (NumberFront.cpp loads it): its tables
// take some 460 000 relocations, about 5 ms at every start of a program that
// links it, which only a run that names a place should pay.
#include <phonenumbers/geocoding/phonenumber_offline_geocoder.h>
#include <unicode/locid.h>

#include <string>

extern "C" [[gnu::visibility("default")]] void faxmail_describe_number(const i18n::phonenumbers::PhoneNumber* number,
                                                                        const char* language, std::string* text) {
    static const i18n::phonenumbers::PhoneNumberOfflineGeocoder geocoder;
    *text = geocoder.GetDescriptionForValidNumber(*number, icu::Locale(language));
}
