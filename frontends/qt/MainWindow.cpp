#include "frontends/qt/MainWindow.h"

#include <QEvent>
#include <QFont>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include "Launcher/Config.h"

namespace launcher::qt {
namespace {

constexpr int kWindowWidth = 460;
constexpr int kWindowHeight = 172;

// `accessibleName` is what a screen reader calls the bar: the window shows no title for it.
QProgressBar* makeBar(const char* name, const char* accessibleName, int maximum, QWidget* parent) {
  auto* bar = new QProgressBar(parent);
  bar->setObjectName(name);
  bar->setAccessibleName(QString::fromUtf8(accessibleName));
  bar->setRange(0, maximum);
  bar->setValue(0);
  bar->setTextVisible(false);
  return bar;
}

QPushButton* makeButton(const char* name, const char* title, bool hidden, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(title), parent);
  button->setObjectName(name);
  button->setAutoDefault(false);
  button->setHidden(hidden);
  return button;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QWidget(parent) {
  setObjectName("mainWindow");
  setWindowTitle(QString::fromStdString(APPLICATION_NAME()));

  auto* label = new QLabel(QStringLiteral("Checking for updates..."), this);
  label->setObjectName("updateLabel");
  // A long status text is cut, it never widens the window.
  label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

  auto* progress = makeBar("progressBar", "Progress", 100, this);
  auto* download = makeBar("downloadBar", "Download progress", 100, this);
  download->setMaximumHeight(6);
  // What the download has brought so far, under its bar; it keeps its place while empty.
  auto* downloadText = new QLabel(this);
  downloadText->setObjectName("downloadText");
  QFont smaller = downloadText->font();
  if (smaller.pointSizeF() > 0) smaller.setPointSizeF(smaller.pointSizeF() * 0.9);
  downloadText->setFont(smaller);
  downloadText->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  QSizePolicy textPolicy = downloadText->sizePolicy();
  textPolicy.setRetainSizeWhenHidden(true);
  downloadText->setSizePolicy(textPolicy);
  downloadText->hide();
  auto* circle = makeBar("circleBar", "Working", 0, this);
  circle->setMaximumWidth(120);
  // The busy indicator keeps its place while hidden, so the window does not jump.
  QSizePolicy circlePolicy = circle->sizePolicy();
  circlePolicy.setRetainSizeWhenHidden(true);
  circle->setSizePolicy(circlePolicy);
  circle->hide();

  auto* downloadButton = makeButton("downloadButton", "Download", true, this);
  auto* updateButton = makeButton("updateButton", "Update", true, this);
  auto* proceedButton = makeButton("proceedButton", "Proceed", true, this);
  auto* launchButton = makeButton("launchButton", "Launch", true, this);
  quitButton_ = makeButton("quitButton", "Quit", false, this);

  auto* statusRow = new QHBoxLayout;
  statusRow->addWidget(label, 1);
  statusRow->addWidget(circle);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->addWidget(downloadButton);
  buttonRow->addWidget(updateButton);
  buttonRow->addWidget(proceedButton);
  buttonRow->addWidget(launchButton);
  buttonRow->addStretch(1);
  buttonRow->addWidget(quitButton_);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(18, 16, 18, 14);
  column->setSpacing(10);
  column->addLayout(statusRow);
  column->addWidget(progress);
  column->addWidget(download);
  column->addWidget(downloadText);
  column->addStretch(1);
  column->addLayout(buttonRow);
  fitToScreen();

  updateLabel_ = std::make_shared<QtTextField>(label);
  progressBar_ = std::make_shared<QtProgressIndicator>(progress);
  downloadBar_ = std::make_shared<QtProgressIndicator>(download, downloadText);
  circleBar_ = std::make_shared<QtProgressIndicator>(circle);
  downloadButton_ = std::make_shared<QtButton>(downloadButton);
  updateButton_ = std::make_shared<QtButton>(updateButton);
  proceedButton_ = std::make_shared<QtButton>(proceedButton);
  launchButton_ = std::make_shared<QtButton>(launchButton);

  for (QPushButton* primary : {downloadButton, updateButton, launchButton})
    primary->installEventFilter(this);
}

MainWindow::~MainWindow() = default;

void MainWindow::fitToScreen() {
  // One size, so that the window never jumps; on a screen too small for it (a small one, or one
  // with a large scale factor) it takes the room the screen has, and never less than its elements
  // need, so that every button stays on the screen.
  const QWindow* handle = windowHandle();
  const QSize room = screen()->availableGeometry().size().shrunkBy(
      handle != nullptr ? handle->frameMargins() : QMargins());
  setFixedSize(QSize(kWindowWidth, kWindowHeight).boundedTo(room).expandedTo(minimumSizeHint()));
}

void MainWindow::showEvent(QShowEvent* event) {
  fitToScreen();
  // A window moved to another screen fits that one.
  if (QWindow* handle = windowHandle())
    connect(handle, &QWindow::screenChanged, this, &MainWindow::fitToScreen, Qt::UniqueConnection);
  QWidget::showEvent(event);
}

QPushButton* MainWindow::primaryButton() const {
  for (const auto* element : {downloadButton_.get(), updateButton_.get(), launchButton_.get()})
    if (!element->isHidden()) return element->widget();
  return nullptr;
}

void MainWindow::updateDefaultButton() {
  QPushButton* primary = primaryButton();
  for (const auto* element : {downloadButton_.get(), updateButton_.get(), launchButton_.get()})
    element->widget()->setDefault(element->widget() == primary);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent)
    updateDefaultButton();
  return QWidget::eventFilter(watched, event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (QPushButton* primary = primaryButton()) primary->click();
    return event->accept();
  }
  // Ctrl+Q whatever the desktop's key bindings say about quitting.
  const bool quit = event->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Q) ||
                    event->matches(QKeySequence::Quit);
  if (event->key() == Qt::Key_Escape || quit) {
    close();
    return event->accept();
  }
  QWidget::keyPressEvent(event);
}

platform::WindowElements MainWindow::elements() const {
  return platform::elementsOf(*this);
}

void MainWindow::connectController(const std::shared_ptr<ViewController>& controller) {
  controller->connectOutlets(elements());

  auto bind = [this, controller](const std::shared_ptr<QtButton>& element, auto action) {
    platform::Control* sender = element.get();
    connect(element->widget(), &QPushButton::clicked, this,
            [controller, sender, action] { ((*controller).*action)(sender); });
  };
  bind(downloadButton_, &ViewController::OneEvent);
  bind(updateButton_, &ViewController::OneEvent);
  bind(proceedButton_, &ViewController::TwoEvent);
  bind(launchButton_, &ViewController::LaunchApplication);
  connect(quitButton_, &QPushButton::clicked, this, [controller] { controller->ExitNow(); });
}

}  // namespace launcher::qt
