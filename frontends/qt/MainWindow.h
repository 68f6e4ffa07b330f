#pragma once
// The launcher's one window: a status line, the overall progress bar, the download bar with its
// text below it, the busy indicator, the offer buttons, the launch button and a quit button. The
// window owns the elements; a controller reaches them through its weak outlets.
#include <QWidget>
#include <memory>

#include "Launcher/ViewController.h"
#include "frontends/qt/QtControls.h"

class QPushButton;

namespace launcher::qt {

class MainWindow final : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // This window's elements, for the controller's outlets.
  platform::WindowElements elements() const;

  // Points the controller's outlets at this window's elements and binds the buttons to its
  // actions: Download and Update to OneEvent, Proceed to TwoEvent, Launch to LaunchApplication,
  // Quit to ExitNow. The buttons keep the controller alive.
  void connectController(const std::shared_ptr<ViewController>& controller);

  // The visible one of Download, Update and Launch, which Return presses; none while none shows.
  QPushButton* primaryButton() const;

  const std::shared_ptr<QtTextField>& updateLabel() const { return updateLabel_; }
  const std::shared_ptr<QtProgressIndicator>& progressBar() const { return progressBar_; }
  const std::shared_ptr<QtProgressIndicator>& downloadBar() const { return downloadBar_; }
  const std::shared_ptr<QtProgressIndicator>& circleBar() const { return circleBar_; }
  const std::shared_ptr<QtButton>& downloadButton() const { return downloadButton_; }
  const std::shared_ptr<QtButton>& updateButton() const { return updateButton_; }
  const std::shared_ptr<QtButton>& proceedButton() const { return proceedButton_; }
  const std::shared_ptr<QtButton>& launchButton() const { return launchButton_; }

 protected:
  // Return (or Enter) presses the primary button; Escape and Ctrl+Q close the window as its
  // close button does.
  void keyPressEvent(QKeyEvent* event) override;
  // Follows the primary buttons being shown and hidden, to keep the default button in step.
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Fits the window to the screen it is shown on.
  void showEvent(QShowEvent* event) override;

 private:
  void fitToScreen();
  void updateDefaultButton();

  std::shared_ptr<QtTextField> updateLabel_;
  std::shared_ptr<QtProgressIndicator> progressBar_, downloadBar_, circleBar_;
  std::shared_ptr<QtButton> downloadButton_, updateButton_, proceedButton_, launchButton_;
  QPushButton* quitButton_ = nullptr;
};

}  // namespace launcher::qt
