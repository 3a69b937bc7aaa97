// The program's message boxes. A box is shown without waiting for it to be closed: the handler
// that reports an error returns at once, the event loop goes on serving terminals while the box
// is open, and several boxes can be open at the same time. Each box deletes itself when closed.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QMessageBox;
class QWidget;

namespace larvek {

class MessageBoxes : public QObject {
  Q_OBJECT

 public:
  explicit MessageBoxes(QObject* parent = nullptr) : QObject(parent) {}

  // An error box modal to `owner` (which may still be hidden): error icon, caption `title`,
  // one OK button. Other windows, the notification-area icon among them, stay usable.
  void ShowError(QWidget* owner, const QString& title, const QString& text);
  // A box without owner: warning icon, empty caption, `text`, one OK button.
  void ShowWarning(const QString& text);

  // The boxes still open, oldest first.
  QList<QMessageBox*> OpenBoxes() const;
  // Closes every open box.
  void CloseAll();
  // Processes Qt events until every open box is closed.
  void WaitUntilAllClosed();

 signals:
  void allClosed();

 private:
  void Track(QMessageBox* box);

  QList<QPointer<QMessageBox>> boxes_;
};

}  // namespace larvek
