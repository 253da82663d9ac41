#pragma once

class QApplication;

namespace orvendal::ui {

// Qt's own texts (the standard buttons "Aceptar" and "Cancelar", the context menus) in Spanish,
// whatever the user's locale, as every text of the program is. Without Qt's translation installed
// they stay English.
void installSpanishTranslation(QApplication& application);

} // namespace orvendal::ui
