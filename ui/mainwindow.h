#pragma once

#include <QMainWindow>
#include <QPoint>

class QLabel;
class QMenu;
class QPushButton;
class UpdatePass;

namespace Ui {
class MainWindow;
}

// The launcher's one window: it shows an update pass and hands its button
// clicks to it. The window can be dragged by any part that is not a button.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;
    // The pass this window shows, for what the program around it does (the data folder's lock).
    UpdatePass *updatePass() const { return pass; }

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showPassStarted();
    void showProgress(int percent);
    void showFailure(const QString &message, bool retryAllowed);
    void showReady(bool upgradeOffered);
    void showUpgradeOffer(bool visible);
    void hideProgress();
    void onLaunchClicked();
    void onUpgradeClicked();
    void onPauseClicked();
    void fillOptionsMenu();
    void askDownloadLimit();

    Ui::MainWindow *ui;
    UpdatePass *pass;
    QLabel *offlineLabel;
    QLabel *detailLabel;
    QPushButton *pauseButton;
    QPushButton *optionsButton;
    QMenu *optionsMenu;
    // Between a pass's start and its end (ready, failed or paused).
    bool passRunning = false;
    // The last verification's result, shown with the installed version.
    QString verifiedText;
    QPoint dragOffset;
};
