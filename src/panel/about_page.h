// The About page and the About box: who we are, which version and build.
#pragma once

#include "panel/ui/modal_dialog.h"
#include "panel/ui/property_sheet.h"

class CAboutPage : public ui::PropertyPage {
  Q_OBJECT
 public:
  explicit CAboutPage(QWidget* parent = nullptr);
};

class CAboutBox : public ui::TemplateDialog {
  Q_OBJECT
 public:
  explicit CAboutBox(QWidget* parent = nullptr);
};

// The build this program came from (the commit it was built from, or its date).
const char* BuildId();
