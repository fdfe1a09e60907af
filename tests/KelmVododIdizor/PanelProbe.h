#pragma once

#include <QLabel>
#include <QString>

#include "KelmVododIdizor/MenuPanel.h"

namespace KelmVododIdizor::PanelProbe {

// The panel's widget of type T with this object name, or null.
template <class T>
T* find(const MenuPanel& panel, const char* name) {
  return panel.findChild<T*>(QString::fromLatin1(name));
}

// The text of the panel's label with this object name; empty when there is none.
inline QString text(const MenuPanel& panel, const char* labelName) {
  const auto* label = find<QLabel>(panel, labelName);
  return label != nullptr ? label->text() : QString();
}

}  // namespace KelmVododIdizor::PanelProbe
