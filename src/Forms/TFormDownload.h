// The main window: the device tree, the progress of the running action and
// the column of action buttons (download, version report, reset, filter
// counter). It follows the device list's arrivals and removals and receives
// the start-up download request.
#pragma once

#include "Download/DownloadAction.h"
#include "Forms/TextProgressBar.h"
#include "Forms/WaitGuard.h"
#include "NxCom/TNxDevList.h"

#include <QDeadlineTimer>
#include <QDialog>
#include <QIcon>
#include <QList>
#include <QStyleOptionViewItem>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTimer;
class QTreeWidgetItem;
class TFormFilterInfo;
class TFormVersionInfo;

// The request start-up hands to the main window; the receiver owns it.
struct SDownloadInfo
{
    std::optional<std::string> File;
    std::optional<std::string> Device; // start-up never names one
    int32_t Channel = 0;
};

class TFormDownload : public QDialog, public NxDownloadUi, public TNxDevList::IDevEvent
{
    Q_OBJECT

public:
    // Registers with the device list when one exists (create the list first).
    explicit TFormDownload(QWidget* parent = nullptr);
    ~TFormDownload() override;

    // The dialogs the actions show; without them the window makes its own.
    void SetForms(TFormVersionInfo* version, TFormFilterInfo* filter);
    TFormVersionInfo& VersionForm();
    TFormFilterInfo& FilterForm();

    // What a tree node stands for; no device for a missing node.
    struct NodeRef
    {
        TNxDev* Dev = nullptr;
        int Channel = 0; // 0: the device, n: its channel n
    };
    NodeRef GetNodeRef(const QTreeWidgetItem* item) const;
    // The image index of a node (ImageList1), -1 for none.
    static constexpr int kImageRole = Qt::UserRole + 1;
    static int ImageIndex(const QTreeWidgetItem* item);

    // Start state and final layout: hides LabelSts and ButtonReset, clears
    // the file and the progress, re-lays the button column. The resulting
    // size is the window's default and least; it can be enlarged, and the
    // tree grows with it. The designed geometry is the least: controls grow
    // with the font so that their text shows whole and the tree shows a
    // controller with three channels.
    void InitView();
    // Tree, Download, Reset, Version Info and Close on or off; Reset Filter
    // change off in both cases until the selection changes.
    void EnableControls(bool on);
    // Rebuilds every node from the device list (holding its lock).
    void RebuildTree();
    void ClearTree();

    bool FilePreset() const { return m_bFilePreset; }
    int DownloadChannel() const { return m_nDownloadChannel; }
    int DeviceCount() const { return m_nDeviceCount; }
    // The text a tree node shows at its present width: a long controller
    // name is shortened in the middle of its description, so that its serial
    // number stays visible.
    QString ShownText(const QTreeWidgetItem* item) const;
    // Where that text is drawn, in the tree's viewport.
    QRect ShownTextRect(const QTreeWidgetItem* item) const;
    // An action is running: a second one and closing the window are refused.
    bool ActionRunning() const { return m_Guard.ActionRunning(); }
    // The one guard of the window's exchanges with the devices.
    WaitGuard& Guard() { return m_Guard; }
    // The device-list update of the poll and of a plug event: skipped while
    // an exchange waits, and then run once it has ended. False when skipped.
    bool UpdateDeviceList();
    // The window was closed: the program ends.
    bool TerminateRequested() const { return m_bTerminate; }

    // The start-up download request: an unattended download when the target
    // is unambiguous, otherwise the modal window (file preset when given).
    // Returns the failure text of an unattended download.
    std::optional<std::string> OnDownloadRequest(std::unique_ptr<SDownloadInfo> request);
    // The download with its boxes; a failure is shown, then raised again.
    void RunDownload(const std::string& serial, int channel, const std::string& file);
    // File dialog and confirmation for the node selected once a file is
    // chosen: the question names the file's target, its least time and the
    // device, and, after the download's read-only checks, why the download
    // would be refused (then No is the default). Empty when cancelled or
    // refused.
    std::string SelectFile();

    // TNxDevList::IDevEvent
    void OnDevAdded(TNxDev* dev) override;
    void OnDevRemoved(const char* serial) override;

    // NxDownloadUi
    void Repaint() override;
    void ProcessMessages() override;
    void OnTargetChecked(TNxDev& dev, int channel) override;
    // IProg: the bar counts down the pause and names a retry's attempt.
    void OnPause(uint32_t ms) override;
    void OnRetry(int attempt, int attempts) override;

    QTreeWidget* TreeViewDevice;
    TextProgressBar* ProgressBar1;
    QLineEdit* EditFilename;
    QLabel* LabelSts;
    QPushButton* ButtonDownload;
    QPushButton* ButtonVersion;
    QPushButton* ButtonReset;
    QPushButton* ButtonResetFilter;
    QPushButton* ButtonClose;
    QList<QIcon> ImageList1;

    static constexpr const char* kOpenDialogTitle = "Select download file ...";
    static constexpr const char* kOpenDialogFilter =
        "All Files (*.hex;*.xml;*.dat)|*.hex;*.xml;*.dat|IntelHexFile (*.hex)|*.hex|"
        "XML Parameter Table (*.xml)|*.xml|DAT Download File (*.dat)|*.dat";
    static constexpr const char* kNoDeviceSelected = "No device selected";

public slots:
    void ButtonDownloadClick();
    void ButtonVersionClick();
    void ButtonResetClick();
    void ButtonResetFilterClick();
    void ButtonCloseClick();
    void TreeViewDeviceChange(QTreeWidgetItem* node);

protected:
    void showEvent(QShowEvent* event) override;
    // Enter presses the focused button; Escape never closes the main window.
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // Every way of closing ends here: refused while an action runs.
    void done(int result) override;
    // NxDownloadUi: the step's text on the bar (and the hidden label).
    void ShowProgress(const std::string& text, std::optional<unsigned> percent) override;

private:
    class NameDelegate;
    void LayoutColumn(bool withReset);
    // The default and least size, from the controls' measured geometry.
    void SetBaseSize();
    // Tree, bar, file field and label grow with the window; the column moves.
    void FitToWindow();
    // After a rebuild, unless an action has the controls off.
    void FollowSelection();
    QTreeWidgetItem* SelectedNode() const;
    // How the tree's delegate draws item.
    QStyleOptionViewItem ItemOption(const QTreeWidgetItem* item) const;
    // The selected node's device and channel, raising for no selection.
    NodeRef SelectedRef() const;
    // Runs one action on the selected entry under the list's lock; errors go to a box.
    template <class Action> void RunOnSelection(Action action);
    TNxDevList& List() const;
    void ShowError(const std::string& text);
    // The bar's own text (empty: the percentage); failed shows it in the error colour.
    void SetBarText(const QString& text, bool failed = false);
    void ShowCountdown();
    // The feedback of a wait longer than the guard's delay: the busy cursor,
    // the controls off and the bar saying what is awaited; then all back.
    void ShowBusy(const QString& awaited);
    void HideBusy();
    // What a wait for the device behind ref is waiting for.
    static QString Awaited(const NodeRef& ref);
    // The unattended download's stay-on-top ends before its result box.
    void EndStayOnTop();
    // The question's text for file into target, after the checks' reads;
    // refused tells that the download would refuse it.
    QString DownloadQuestion(const std::string& file, const NodeRef& target, bool& refused);
    // The designed geometry, grown where the font needs more room.
    void MeasureControls();
    struct Geometry
    {
        int TreeWidth = 377, TreeHeight = 73, BarHeight = 25, EditHeight = 21, LabelHeight = 13;
        int ColumnWidth = 137, ButtonHeight = 25;
    };
    Geometry m_Geo;

    TFormVersionInfo* m_pVersion = nullptr;
    TFormFilterInfo* m_pFilter = nullptr;
    std::unique_ptr<TFormVersionInfo> m_pOwnVersion;
    std::unique_ptr<TFormFilterInfo> m_pOwnFilter;
    std::vector<std::unique_ptr<NodeRef>> m_NodeRefs;
    bool m_bFilePreset = false;
    int m_nDownloadChannel = 0;
    int m_nDeviceCount = 0;
    bool m_bTerminate = false;
    bool m_bControlsOn = true;
    int m_nBaseHeight = 0;
    WaitGuard m_Guard;
    bool m_bUpdatePending = false;
    // Saved while the busy feedback shows.
    struct BusyState
    {
        bool ControlsOff = false; // the feedback turned the controls off
        bool Tree = false, Version = false, Reset = false, Close = false;
        QWidget* Focus = nullptr;
        QString BarText; // the bar's before
        QString Shown;   // what the feedback wrote on it
    };
    std::optional<BusyState> m_Busy;
    NameDelegate* m_pNames = nullptr;
    QTimer* m_pCountdown = nullptr;
    QDeadlineTimer m_PauseEnd;
};

// Hands the request to the window's handler and waits for it; a failure
// text it returns is raised as NxException. device and file may be null.
void PostDownloadRequest(TFormDownload& window, const char* device, int channel, const char* file);
