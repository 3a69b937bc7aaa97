#include "frontends/desktop/message_boxes.h"

#include <QEventLoop>
#include <QMessageBox>

namespace larvek {

void MessageBoxes::ShowError(QWidget* owner, const QString& title, const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Critical, title, text, QMessageBox::Ok, owner);
  box->setWindowModality(owner ? Qt::WindowModal : Qt::NonModal);
  Track(box);
}

void MessageBoxes::ShowWarning(const QString& text) {
  auto* box = new QMessageBox(QMessageBox::Warning, QString(), text, QMessageBox::Ok);
  box->setWindowModality(Qt::NonModal);
  Track(box);
}

void MessageBoxes::Track(QMessageBox* box) {
  box->setAttribute(Qt::WA_DeleteOnClose);
  boxes_.append(box);
  connect(box, &QObject::destroyed, this, [this] {
    if (OpenBoxes().isEmpty()) emit allClosed();
  });
  box->show();
}

QList<QMessageBox*> MessageBoxes::OpenBoxes() const {
  QList<QMessageBox*> open;
  for (const QPointer<QMessageBox>& box : boxes_)
    if (box && box->isVisible()) open.append(box.data());
  return open;
}

void MessageBoxes::CloseAll() {
  for (QMessageBox* box : OpenBoxes()) delete box;
  boxes_.clear();
}

void MessageBoxes::WaitUntilAllClosed() {
  if (OpenBoxes().isEmpty()) return;
  QEventLoop wait;
  connect(this, &MessageBoxes::allClosed, &wait, &QEventLoop::quit);
  wait.exec();
}

}  // namespace larvek
