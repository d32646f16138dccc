// The titles Firefox gives its private windows, in every language it is translated into.
//
// A private window's title is its own title alone, or the page's title, " — ", and that title. The window's
// own title is one phrase per language with the browser's name in it ("Mozilla Firefox Private Browsing",
// "Navigation privée de Mozilla Firefox", "Mozilla Firefox プライベートブラウジング"), so it is kept here as
// the words before the name and the words after it. Taken from the browser.ftl of each of Firefox ESR 153's
// language packs (Debian's firefox-esr-l10n-*, message browser-main-private-window-title, its form for
// desktops other than macOS); languages whose pack lacks the message show the English words. Czech has two
// forms, depending on whether the browser's name is declined.
#include "platform/firefox_private_titles.h"

namespace tessaron::platform {

namespace {

constexpr FirefoxPrivateTitleForm forms[] = {
    {"ar", "", " التصفح الخاص"},
    {"az", "", " Məxfi Səyahət"},
    {"be", "Прыватнае агляданне ", ""},
    {"bg", "", " Поверително сърфиране"},
    {"bn", "", " ব্যক্তিগত ব্রাউজিং"},
    {"br", "", " Merdeiñ prevez"},
    {"bs", "", " privatno pregledanje"},
    {"ca", "", " (Navegació privada)"},
    {"cs", "Anonymní prohlížení — ", ""},
    {"cs-cases", "Anonymní prohlížení ", ""},
    {"cy", "Pori Preifat ", ""},
    {"da", "", " Privat browsing"},
    {"de", "", " Privater Modus"},
    {"dsb", "Priwatny modus ", ""},
    {"el", "Ιδιωτική περιήγηση ", ""},
    {"en-ca", "", " Private Browsing"},
    {"en-gb", "", " Private Browsing"},
    {"en-us", "", " Private Browsing"},
    {"eo", "Privata retumo de ", ""},
    {"es-ar", "", " Navegación privada"},
    {"es-cl", "Navegación Privada de ", ""},
    {"es-es", "", " Navegación privada"},
    {"es-mx", "", " Navegación privada"},
    {"et", "", " (privaatne veebilehitsemine)"},
    {"eu", "", " Nabigatze Pribatua"},
    {"fa", "", " مرور ناشناس"},
    {"fi", "", " — Yksityinen selaus"},
    {"fr", "Navigation privée de ", ""},
    {"fur", "", " Navigazion privade"},
    {"fy-nl", "", "-priveenavigaasje"},
    {"gd", "Brabhsadh prìobhaideach ", ""},
    {"gl", "", " Navegación privada"},
    {"gn", "", " Kundaha ñemi"},
    {"he", "גלישה פרטית של ", ""},
    {"hr", "", " privatno pregledavanje"},
    {"hsb", "Priwatny modus ", ""},
    {"hu", "", " privát böngészés"},
    {"hy-am", "", " գաղտնի դիտարկում"},
    {"ia", "", " Navigation private"},
    {"id", "Meramban Privat ", ""},
    {"is", "", " huliðsvafur"},
    {"it", "", " Navigazione anonima"},
    {"ja", "", " プライベートブラウジング"},
    {"ka", "", " პირადი თვალიერება"},
    {"kab", "", " Tunigin tusligt"},
    {"kk", "", " Жекелік шолу"},
    {"ko", "", " 사생활 보호 모드"},
    {"lij", "", " Navegaçion Privâ"},
    {"lv", "", " privātā pārlūkošana"},
    {"ms", "", " Pelayaran Peribadi"},
    {"nb-no", "", " Privat nettlesing"},
    {"nl", "", "-privénavigatie"},
    {"nn-no", "", " Privat nettlesing"},
    {"oc", "", " navegacion privada"},
    {"pa-in", "", " ਪ੍ਰਾਈਵੇਟ ਬਰਾਊਜ਼ਿੰਗ"},
    {"pl", "", " — tryb prywatny"},
    {"pt-br", "", " — navegação privativa"},
    {"pt-pt", "Navegação privada do ", ""},
    {"rm", "Modus privat da ", ""},
    {"ro", "", " Navigare privată"},
    {"ru", "Приватный просмотр ", ""},
    {"sat", "", " ᱯᱨᱟᱭᱣᱮᱴ ᱵᱽᱨᱟᱣᱩᱡᱤᱝ"},
    {"sc", "Navigatzione privada de ", ""},
    {"sk", "Súkromné prehliadanie ", ""},
    {"skr", "", " نجی براؤزنگ"},
    {"sl", "", ": Zasebno brskanje"},
    {"sq", "Shfletim Privat ", ""},
    {"sr", "", " - приватно прегледање"},
    {"sv-se", "", " Privat surfning"},
    {"te", "", " ఆంతరంగిక విహారణ"},
    {"tg", "Тамошобинии хусусии «", "»"},
    {"th", "การเรียกดูแบบส่วนตัวใน ", ""},
    {"tr", "", " Gizli Gezinti"},
    {"uk", "Приватний перегляд ", ""},
    {"vi", "", " duyệt web riêng tư"},
    {"zh-cn", "", " 隐私浏览"},
    {"zh-tw", "", " 隱私瀏覽模式"},
};

}  // namespace

std::span<const FirefoxPrivateTitleForm> firefoxPrivateTitleForms() {
  return forms;
}

bool isFirefoxPrivateTitle(std::string_view title) {
  constexpr std::string_view separator = " \xE2\x80\x94 ";  // " — " between the page's title and the window's
  // The browser's name between the words has no dash: "Navigation privée de — Mozilla Firefox" is an ordinary
  // window's page titled "Navigation privée de". (A page titled with the words of a language that puts them
  // all before the dash, as Czech does, cannot be told from a private window: it is taken for one.)
  auto isPrivateWindowTitle = [&](std::string_view own) {
    for (const auto& form : forms) {
      if (own.size() <= form.before.size() + form.after.size() || !own.starts_with(form.before) ||
          !own.ends_with(form.after))
        continue;
      const std::string_view name =
          own.substr(form.before.size(), own.size() - form.before.size() - form.after.size());
      if (name.find("\xE2\x80\x94") == std::string_view::npos) return true;
    }
    return false;
  };
  if (isPrivateWindowTitle(title)) return true;
  for (auto at = title.find(separator); at != std::string_view::npos; at = title.find(separator, at + 1))
    if (isPrivateWindowTitle(title.substr(at + separator.size()))) return true;
  return false;
}

}  // namespace tessaron::platform
