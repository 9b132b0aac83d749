#include "panel/about_page.h"

#include <QLabel>

#include "panel/ui/commands.h"

#ifndef TARVEL_BUILD_ID
#define TARVEL_BUILD_ID "unknown"
#endif

const char* BuildId() { return TARVEL_BUILD_ID; }

CAboutPage::CAboutPage(QWidget* parent) : ui::PropertyPage(res::kAboutPage, parent) {
  if (auto* build = ControlAs<QLabel>(1030)) build->setText(QString("Build ID: %1").arg(BuildId()));
}

CAboutBox::CAboutBox(QWidget* parent) : ui::TemplateDialog(res::kAboutBox, parent) {}
