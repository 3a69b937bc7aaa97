#include "frontends/desktop/desktop_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFontInfo>
#include <QMessageBox>
#include <QPlainTextEdit>

#include "frontends/desktop/message_boxes.h"

namespace larvek {
namespace {

class DesktopWindowTest : public ::testing::Test {
 protected:
  ~DesktopWindowTest() override { boxes.CloseAll(); }

  MessageBoxes boxes;
  DesktopWindow window{boxes, "Srvlarvek"};
};

TEST_F(DesktopWindowTest, LayoutAtCreation) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Server Larvek05 terminal"));
  EXPECT_EQ(window.geometry(), QRect(327, 392, 345, 279));
  EXPECT_EQ(window.minimumSize(), QSize(283, 64));
  EXPECT_FALSE(window.isVisible());

  window.show();
  QApplication::processEvents();
  EXPECT_EQ(window.ToolPanel().height(), 21);
  QPlainTextEdit& memo = window.DisplayMemo();
  EXPECT_EQ(memo.objectName(), QStringLiteral("DisplayMemo"));
  EXPECT_EQ(memo.geometry().top(), 21);
  EXPECT_EQ(memo.height(), 279 - 21);  // the view fills the rest of the client area
  EXPECT_EQ(memo.width(), 345);
  EXPECT_TRUE(QFontInfo(memo.font()).fixedPitch());
  EXPECT_EQ(memo.font().pointSize(), 8);
  EXPECT_EQ(memo.lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(memo.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo.verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_FALSE(memo.isReadOnly());

  window.resize(10, 10);
  EXPECT_EQ(window.size(), QSize(283, 64));
}

TEST_F(DesktopWindowTest, TitleBarShowsTheFinalCaption) {
  window.SetWindowCaption("Serv_Larvek: database: larvek, port: 2000");
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Server Larvek05 terminal"));
  window.SetTitleBarCaption("Serv_Larvek: database: sklad\x9E, port: 2000");
  EXPECT_EQ(window.windowTitle(),
            QString::fromUtf8("Serv_Larvek: database: sklad\xC5\xBE, port: 2000"));
}

TEST_F(DesktopWindowTest, ErrorBoxesOpenWithoutWaitingAndStack) {
  window.ShowErrorMessage("Can't connect \x9E.");
  window.ShowErrorMessage("Range check error.");
  // Both calls returned at once; both boxes are open.
  const QList<QMessageBox*> open = boxes.OpenBoxes();
  ASSERT_EQ(open.size(), 2);
  QMessageBox& box = *open[0];
  EXPECT_EQ(box.windowTitle(), QStringLiteral("Srvlarvek"));
  EXPECT_EQ(box.text(), QString::fromUtf8("Can't connect \xC5\xBE."));
  EXPECT_EQ(box.icon(), QMessageBox::Critical);
  EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
  EXPECT_EQ(box.windowModality(), Qt::WindowModal);
  EXPECT_EQ(box.parentWidget(), &window);
  EXPECT_TRUE(box.testAttribute(Qt::WA_DeleteOnClose));

  box.button(QMessageBox::Ok)->click();
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(boxes.OpenBoxes().size(), 1);
}

TEST_F(DesktopWindowTest, ListenerClosedWarningHasNoOwnerAndNoTitle) {
  window.ShowListenerClosedWarning(10054);
  const QList<QMessageBox*> open = boxes.OpenBoxes();
  ASSERT_EQ(open.size(), 1);
  EXPECT_EQ(open[0]->parentWidget(), nullptr);
  EXPECT_EQ(open[0]->windowModality(), Qt::NonModal);
  EXPECT_TRUE(open[0]->windowTitle().isEmpty());
  EXPECT_EQ(open[0]->text(), QStringLiteral("10054"));
  EXPECT_EQ(open[0]->icon(), QMessageBox::Warning);
  EXPECT_EQ(open[0]->standardButtons(), QMessageBox::Ok);
}

TEST_F(DesktopWindowTest, MinimisingHidesAndRestoringShowsAgain) {
  window.show();
  QApplication::processEvents();
  window.setWindowState(Qt::WindowMinimized);
  QApplication::processEvents();
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(window.isMinimized());

  window.ShowRestored();
  QApplication::processEvents();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
}

TEST_F(DesktopWindowTest, ClosingAsksTheProgramToEnd) {
  int requests = 0;
  QObject::connect(&window, &DesktopWindow::closeRequested, [&] { ++requests; });
  window.show();
  window.close();
  EXPECT_EQ(requests, 1);
}

}  // namespace
}  // namespace larvek
