#include "panel/radio_list_page.h"

#include "panel/ui/commands.h"

CRadioListPage::CRadioListPage(QWidget* parent) : ui::PropertyPage(res::kRadioListPage, parent) {}
