// The internet radio stations page, the sheet's fourth tab.
#pragma once

#include "panel/ui/property_sheet.h"

class CRadioListPage : public ui::PropertyPage {
  Q_OBJECT
 public:
  explicit CRadioListPage(QWidget* parent = nullptr);
};
