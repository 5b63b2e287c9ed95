#include "TFormDownload.h"

#include "Appcfg.h"
#include "Download/FileInspection.h"
#include "FilterInfo.h"
#include "NxClock.h"
#include "NxDialogs.h"
#include "NxException.h"
#include "TFormFilterInfo.h"
#include "TFormHistory.h"
#include "TFormVersionInfo.h"
#include "VersionInfo.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <algorithm>

static void InitFormResources()
{
    // The resources live in a static library, whose initialiser the linker drops.
    Q_INIT_RESOURCE(nxforms);
}

namespace {

constexpr int kRefRole = Qt::UserRole;
constexpr int kClientWidth = 536;
constexpr int kDesignHeight = 166;

QString ToQString(const std::string& s)
{
    return QString::fromStdString(s);
}

// A progress bar that shows a text of its own instead of the percentage.
class TextProgressBar : public QProgressBar
{
public:
    using QProgressBar::QProgressBar;
    void SetText(const QString& text)
    {
        m_Text = text;
        update();
    }
    QString text() const override { return m_Text.isEmpty() ? QProgressBar::text() : m_Text; }

private:
    QString m_Text;
};

const QColor kErrorColour(0xC0, 0x1C, 0x28);

} // namespace

// Paints a controller's name "description (#serial)" with the description
// shortened in its middle when the row is too narrow, never the serial.
class TFormDownload::NameDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString Shown(QStyleOptionViewItem option, const QModelIndex& index) const
    {
        initStyleOption(&option, index);
        return option.text;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const qsizetype tail = option->text.lastIndexOf(" (#");
        if (tail <= 0 || !option->text.endsWith(')'))
            return;
        const QWidget* w = option->widget;
        const QStyle* style = w ? w->style() : QApplication::style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, w) + 1;
        const int room =
            style->subElementRect(QStyle::SE_ItemViewItemText, option, w).width() - 2 * margin;
        const QFontMetrics fm(option->font);
        if (fm.horizontalAdvance(option->text) <= room)
            return;
        const QString serial = option->text.mid(tail);
        option->text = fm.elidedText(option->text.left(tail), Qt::ElideMiddle,
                                     std::max(0, room - fm.horizontalAdvance(serial))) +
                       serial;
    }
};

// Marks an action as running for its scope; nested scopes count.
class TFormDownload::ActionScope
{
public:
    explicit ActionScope(TFormDownload& form) : m_Form(form) { ++m_Form.m_nActions; }
    ~ActionScope() { --m_Form.m_nActions; }
    ActionScope(const ActionScope&) = delete;
    ActionScope& operator=(const ActionScope&) = delete;

private:
    TFormDownload& m_Form;
};

TFormDownload::TFormDownload(QWidget* parent) : QDialog(parent)
{
    InitFormResources();
    setObjectName("FormDownload");
    // An ordinary top-level window, not a dialog: desktops list it in the
    // taskbar and the window switcher.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
    ImageList1 << QIcon(":/nxforms/device.svg");
    setWindowIcon(ImageList1[0]);

    TreeViewDevice = new QTreeWidget(this);
    TreeViewDevice->setObjectName("TreeViewDevice");
    TreeViewDevice->setGeometry(8, 8, 377, 73);
    TreeViewDevice->setHeaderHidden(true);
    TreeViewDevice->setColumnCount(1);
    TreeViewDevice->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeViewDevice->setSelectionMode(QAbstractItemView::SingleSelection);
    TreeViewDevice->setSelectionBehavior(QAbstractItemView::SelectRows);
    TreeViewDevice->setAllColumnsShowFocus(true);
    TreeViewDevice->setIndentation(19);
    TreeViewDevice->setIconSize(QSize(16, 16));
    TreeViewDevice->setTextElideMode(Qt::ElideMiddle);
    m_pNames = new NameDelegate(TreeViewDevice);
    TreeViewDevice->setItemDelegate(m_pNames);
    // The selection stays visible when the tree loses the focus.
    QPalette pal = TreeViewDevice->palette();
    pal.setColor(QPalette::Inactive, QPalette::Highlight,
                 pal.color(QPalette::Active, QPalette::Highlight));
    pal.setColor(QPalette::Inactive, QPalette::HighlightedText,
                 pal.color(QPalette::Active, QPalette::HighlightedText));
    TreeViewDevice->setPalette(pal);
    connect(TreeViewDevice, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* node, QTreeWidgetItem*) { TreeViewDeviceChange(node); });

    // The bar also carries the status texts, as the status label stays hidden.
    ProgressBar1 = new TextProgressBar(this);
    ProgressBar1->setObjectName("ProgressBar1");
    ProgressBar1->setGeometry(8, 87, 377, 25);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    m_pCountdown = new QTimer(this);
    m_pCountdown->setInterval(250);
    connect(m_pCountdown, &QTimer::timeout, this, &TFormDownload::ShowCountdown);

    EditFilename = new QLineEdit(this);
    EditFilename->setObjectName("EditFilename");
    EditFilename->setGeometry(8, 118, 377, 21);
    EditFilename->setReadOnly(true);
    EditFilename->setEnabled(false);
    QPalette face = EditFilename->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    EditFilename->setPalette(face);

    LabelSts = new QLabel(this);
    LabelSts->setObjectName("LabelSts");
    LabelSts->setGeometry(8, 145, 377, 13);

    auto button = [this](const char* name, const char* text, int x, int w) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setGeometry(x, 5, w, 25);
        b->setAutoDefault(false);
        return b;
    };
    ButtonDownload = button("ButtonDownload", "Download", 392, 136);
    ButtonVersion = button("ButtonVersion", "Version Info", 392, 136);
    ButtonReset = button("ButtonReset", "Reset device / component", 391, 137);
    ButtonResetFilter = button("ButtonResetFilter", "Reset Filter change", 391, 137);
    ButtonResetFilter->setEnabled(false);
    ButtonClose = button("ButtonClose", "Close", 391, 137);
    connect(ButtonDownload, &QPushButton::clicked, this, &TFormDownload::ButtonDownloadClick);
    connect(ButtonVersion, &QPushButton::clicked, this, &TFormDownload::ButtonVersionClick);
    connect(ButtonReset, &QPushButton::clicked, this, &TFormDownload::ButtonResetClick);
    connect(ButtonResetFilter, &QPushButton::clicked, this, &TFormDownload::ButtonResetFilterClick);
    connect(ButtonClose, &QPushButton::clicked, this, &TFormDownload::ButtonCloseClick);

    SetBaseSize(kDesignHeight);

    // FormCreate
    RebuildTree();
    if (m_nDeviceCount == 1)
        TreeViewDevice->setCurrentItem(TreeViewDevice->topLevelItem(0));
    LayoutColumn(true);
    setWindowTitle(QString("Nurax Update 5000 ") + NX_PROGRAM_VERSION);
    AddHistoryAction(*this); // "History..." in the tree's context menu, Ctrl+H
}

TFormDownload::~TFormDownload()
{
    // Without this the tree's own teardown would report selection changes
    // to a half-destroyed window.
    TreeViewDevice->disconnect(this);
    ClearTree();
}

void TFormDownload::SetForms(TFormVersionInfo* version, TFormFilterInfo* filter)
{
    m_pVersion = version;
    m_pFilter = filter;
}

TFormVersionInfo& TFormDownload::VersionForm()
{
    if (!m_pVersion) {
        m_pOwnVersion = std::make_unique<TFormVersionInfo>();
        m_pVersion = m_pOwnVersion.get();
    }
    return *m_pVersion;
}

TFormFilterInfo& TFormDownload::FilterForm()
{
    if (!m_pFilter) {
        m_pOwnFilter = std::make_unique<TFormFilterInfo>();
        m_pFilter = m_pOwnFilter.get();
    }
    return *m_pFilter;
}

// ---- Layout and states ----

void TFormDownload::LayoutColumn(bool withReset)
{
    QPushButton* column[] = {ButtonDownload, ButtonVersion, ButtonReset, ButtonResetFilter,
                             ButtonClose};
    int y = 5;
    for (QPushButton* b : column) {
        if (b == ButtonReset && !withReset)
            continue;
        b->move(b->x(), y);
        y += b->height() + 4;
    }
}

void TFormDownload::InitView()
{
    m_bFilePreset = false;
    EditFilename->clear();
    EnableControls(true);
    SetProgress(0);
    SetStatus({});
    ButtonResetFilter->setEnabled(false);
    LabelSts->hide();
    ButtonReset->hide();
    LayoutColumn(false);
    // The client area ends above the hidden status label.
    SetBaseSize(ButtonClose->geometry().bottom() + 1 - ButtonResetFilter->height() + 53);
}

void TFormDownload::SetBaseSize(int height)
{
    m_nBaseHeight = height;
    setMinimumSize(kClientWidth, height);
    resize(kClientWidth, height);
    FitToWindow();
}

void TFormDownload::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    FitToWindow();
}

void TFormDownload::FitToWindow()
{
    // The designed places at the least size; what the window gains goes to the tree.
    const int dx = std::max(0, width() - kClientWidth);
    const int dy = std::max(0, height() - m_nBaseHeight);
    TreeViewDevice->setGeometry(8, 8, 377 + dx, 73 + dy);
    ProgressBar1->setGeometry(8, 87 + dy, 377 + dx, 25);
    EditFilename->setGeometry(8, 118 + dy, 377 + dx, 21);
    LabelSts->setGeometry(8, 145 + dy, 377 + dx, 13);
    for (QPushButton* b : {ButtonDownload, ButtonVersion})
        b->move(392 + dx, b->y());
    for (QPushButton* b : {ButtonReset, ButtonResetFilter, ButtonClose})
        b->move(391 + dx, b->y());
}

void TFormDownload::EnableControls(bool on)
{
    m_bControlsOn = on;
    TreeViewDevice->setEnabled(on);
    ButtonDownload->setEnabled(on);
    ButtonReset->setEnabled(on);
    ButtonVersion->setEnabled(on);
    ButtonClose->setEnabled(on);
    ButtonResetFilter->setEnabled(false);
}

// ---- Tree ----

TNxDevList& TFormDownload::List() const
{
    TNxDevList* list = TNxDevList::Instance();
    if (!list)
        throw NxException("No device list");
    return *list;
}

void TFormDownload::ClearTree()
{
    m_nDeviceCount = 0;
    TreeViewDevice->clear();
    m_NodeRefs.clear();
    TreeViewDevice->setCurrentItem(nullptr);
}

void TFormDownload::RebuildTree()
{
    TNxDevList* list = TNxDevList::Instance();
    if (!list) {
        ClearTree();
        return;
    }
    ScopedSect lock(list->Lock);
    ClearTree();
    m_nDeviceCount = static_cast<int>(list->Count());
    auto addNode = [this](QTreeWidgetItem* node, TNxDev* dev, int channel, bool image) {
        m_NodeRefs.push_back(std::make_unique<NodeRef>(NodeRef{dev, channel}));
        node->setData(
            0, kRefRole,
            QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(m_NodeRefs.back().get())));
        node->setData(0, kImageRole, image ? 0 : -1);
        if (image)
            node->setIcon(0, ImageList1[0]);
    };
    for (size_t i = 0; i < list->Count(); ++i) {
        TNxDev* dev = list->GetDev(i);
        auto* devNode = new QTreeWidgetItem(TreeViewDevice, QStringList(ToQString(dev->GetName())));
        addNode(devNode, dev, 0, true);
        const auto& channels = dev->GetChannels();
        for (size_t j = 0; j < channels.size(); ++j) {
            const int ch = static_cast<int>(j) + 1;
            auto* chNode =
                new QTreeWidgetItem(devNode, QStringList(ToQString(ChannelLabel(ch, channels[j]))));
            addNode(chNode, dev, ch, CanDownload(channels[j]));
        }
        devNode->setExpanded(true);
    }
}

TFormDownload::NodeRef TFormDownload::GetNodeRef(const QTreeWidgetItem* item) const
{
    if (!item)
        return {};
    const auto* ref = reinterpret_cast<const NodeRef*>(item->data(0, kRefRole).value<quintptr>());
    return ref ? *ref : NodeRef{};
}

int TFormDownload::ImageIndex(const QTreeWidgetItem* item)
{
    return item ? item->data(0, kImageRole).toInt() : -1;
}

QTreeWidgetItem* TFormDownload::SelectedNode() const
{
    const QList<QTreeWidgetItem*> sel = TreeViewDevice->selectedItems();
    return sel.isEmpty() ? nullptr : sel.first();
}

TFormDownload::NodeRef TFormDownload::SelectedRef() const
{
    QTreeWidgetItem* node = SelectedNode();
    if (!node)
        throw NxException(kNoDeviceSelected);
    NodeRef ref = GetNodeRef(node);
    if (!ref.Dev)
        throw NxException("Internal error: tree node without device");
    return ref;
}

void TFormDownload::TreeViewDeviceChange(QTreeWidgetItem* node)
{
    TNxDevList* list = TNxDevList::Instance();
    NodeRef ref = GetNodeRef(node);
    if (!list || !ref.Dev)
        return;
    ScopedSect lock(list->Lock);
    if (ref.Channel < 1) {
        ButtonDownload->setEnabled(true);
        ButtonResetFilter->setEnabled(false);
        return;
    }
    const auto& channels = ref.Dev->GetChannels();
    if (static_cast<size_t>(ref.Channel) > channels.size())
        return;
    const TNxDev::NxChannelInfo& info = channels[ref.Channel - 1];
    ButtonDownload->setEnabled(CanDownload(info));
    ButtonResetFilter->setEnabled(CanResetFilter(info));
}

void TFormDownload::OnDevAdded(TNxDev*)
{
    RebuildTree();
    if (m_nDeviceCount == 1)
        TreeViewDevice->setCurrentItem(TreeViewDevice->topLevelItem(0));
    FollowSelection();
}

void TFormDownload::OnDevRemoved(const char*)
{
    RebuildTree();
    FollowSelection();
}

void TFormDownload::FollowSelection()
{
    if (!m_bControlsOn)
        return;
    if (QTreeWidgetItem* node = SelectedNode()) {
        TreeViewDeviceChange(node);
        return;
    }
    // Nothing selected: as at the start.
    ButtonDownload->setEnabled(true);
    ButtonResetFilter->setEnabled(false);
}

QString TFormDownload::ShownText(const QTreeWidgetItem* item) const
{
    if (!item)
        return {};
    const QModelIndex index = TreeViewDevice->indexFromItem(item);
    QStyleOptionViewItem option;
    option.initFrom(TreeViewDevice->viewport());
    option.widget = TreeViewDevice;
    option.font = TreeViewDevice->font();
    option.rect = TreeViewDevice->visualRect(index);
    option.textElideMode = TreeViewDevice->textElideMode();
    return m_pNames->Shown(option, index);
}

// ---- Window events ----

void TFormDownload::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    TreeViewDevice->setFocus();
}

void TFormDownload::closeEvent(QCloseEvent* event)
{
    if (ActionRunning()) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void TFormDownload::done(int result)
{
    if (ActionRunning())
        return;
    m_bTerminate = true;
    QDialog::done(result);
    QCoreApplication::quit();
}

void TFormDownload::ButtonCloseClick()
{
    done(QDialog::Accepted);
}

void TFormDownload::ShowError(const std::string& text)
{
    NxDialogs().Error(this, windowTitle(), ToQString(text));
}

// ---- Download ----

void TFormDownload::SetStatus(const std::string& text)
{
    NxDownloadUi::SetStatus(text);
    LabelSts->setText(ToQString(text));
    SetBarText(ToQString(text));
}

void TFormDownload::SetBarText(const QString& text, bool failed)
{
    m_pCountdown->stop();
    static_cast<TextProgressBar*>(ProgressBar1)->SetText(text);
    // Full after a failure, as specified, but never looking like a success.
    QPalette pal = palette();
    if (failed) {
        pal.setColor(QPalette::Highlight, kErrorColour);
        pal.setColor(QPalette::HighlightedText, Qt::white);
    }
    ProgressBar1->setPalette(pal);
}

void TFormDownload::OnPause(uint32_t ms)
{
    m_PauseEnd = QDeadlineTimer(static_cast<qint64>(ms));
    ShowCountdown();
    m_pCountdown->start();
}

void TFormDownload::ShowCountdown()
{
    const qint64 left = (m_PauseEnd.remainingTime() + 999) / 1000;
    const char* target = m_nDownloadChannel > 0 ? "component" : "controller";
    const QString text =
        QString("%1 - Waiting for the %2: %3 s").arg(ToQString(Status())).arg(target).arg(left);
    static_cast<TextProgressBar*>(ProgressBar1)->SetText(text);
    if (left <= 0)
        m_pCountdown->stop();
}

void TFormDownload::OnRetry(int attempt, int attempts)
{
    SetBarText(
        QString("%1 - attempt %2 of %3").arg(ToQString(Status())).arg(attempt).arg(attempts));
    ProcessMessages();
}

void TFormDownload::SetProgress(unsigned percent)
{
    ProgressBar1->setValue(static_cast<int>(percent));
}

void TFormDownload::Repaint()
{
    LabelSts->repaint();
}

void TFormDownload::ProcessMessages()
{
    QCoreApplication::processEvents();
}

void TFormDownload::OnTargetChecked(TNxDev& dev, int channel)
{
    m_nDownloadChannel = channel;
    for (QTreeWidgetItemIterator it(TreeViewDevice); *it; ++it) {
        NodeRef ref = GetNodeRef(*it);
        if (ref.Dev && ref.Channel == channel && ref.Dev->GetSerial() == dev.GetSerial()) {
            TreeViewDevice->setFocus();
            TreeViewDevice->setCurrentItem(*it);
            break;
        }
    }
    EnableControls(false);
}

void TFormDownload::RunDownload(const std::string& serial, int channel, const std::string& file)
{
    ActionScope action(*this);
    SetProgress(0);
    SetBarText({});
    EditFilename->setText(ToQString(file));
    try {
        ::RunDownload(List(), *this, serial, channel, file);
    } catch (const std::exception& e) {
        SetProgress(100);
        SetBarText("Failed", true);
        EnableControls(true);
        NxDialogs().Error(this, kDownloadFailedCaption, e.what());
        throw;
    }
    EnableControls(true);
    SetStatus(kDownloadFinished);
    NxDialogs().Information(this, windowTitle(), kDownloadFinished);
}

std::string TFormDownload::SelectFile(int channel)
{
    const QString name =
        NxDialogs().OpenFile(this, kOpenDialogTitle, ToQString(CAppCfg::Instance().StartFolder()),
                             FileFilters(kOpenDialogFilter), "dat");
    if (name.isEmpty())
        return {};
    const std::string file = name.toStdString();
    CAppCfg::Instance().SetLastDir(file.substr(0, file.find_last_of('/') + 1));
    const QString question = QString("Are you sure to download this file: '%1'").arg(name) +
                             ToQString(ConfirmationLines(file, channel));
    if (!NxDialogs().Question(this, "Download confirmation", question))
        return {};
    return file;
}

void TFormDownload::ButtonDownloadClick()
{
    if (ActionRunning())
        return;
    ActionScope action(*this);
    if (!SelectedNode()) {
        ShowError(kNoDeviceSelected);
        return;
    }
    if (!m_bFilePreset) {
        // The selected channel's frames go into the least time.
        const std::string file = SelectFile(GetNodeRef(SelectedNode()).Channel);
        if (file.empty())
            return;
        EditFilename->setText(ToQString(file));
    }
    try {
        ScopedSect lock(List().Lock);
        const NodeRef ref = SelectedRef();
        RunDownload(ref.Dev->GetSerial(), ref.Channel, EditFilename->text().toStdString());
    } catch (const std::exception&) {
        // RunDownload has shown it.
    }
}

// ---- Version report, reset, filter counter ----

template <class Action> void TFormDownload::RunOnSelection(Action action)
{
    if (ActionRunning())
        return;
    ActionScope running(*this);
    try {
        const NodeRef ref = SelectedRef();
        ScopedSect lock(List().Lock);
        action(ref);
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
}

void TFormDownload::ButtonVersionClick()
{
    RunOnSelection([this](const NodeRef& ref) {
        const NxVersionInfo info = ReadVersionInfo(*ref.Dev, ref.Channel);
        VersionForm().SetReport(FormatVersionReport(info, "\r\n"));
        NxDialogs().Exec(VersionForm());
    });
}

void TFormDownload::ButtonResetClick()
{
    RunOnSelection([](const NodeRef& ref) { ResetToApplication(*ref.Dev, ref.Channel); });
}

void TFormDownload::ButtonResetFilterClick()
{
    RunOnSelection([this](const NodeRef& ref) {
        if (ref.Channel < 1)
            return; // a controller has no filter counter
        CheckFilterReset(*ref.Dev, ref.Channel);
        TFormFilterInfo& dlg = FilterForm();
        dlg.Fill(FormatFilterText(ReadFilterCounters(*ref.Dev, ref.Channel)), kFilterQuestion,
                 true);
        if (NxDialogs().Exec(dlg) != QDialog::Accepted)
            return;
        dlg.Fill(FormatFilterText(ResetFilterCounter(*ref.Dev, ref.Channel)), kFilterResetDone,
                 false);
        NxDialogs().Exec(dlg);
        dlg.hide();
    });
}

// ---- Start-up download request ----

std::optional<std::string> TFormDownload::OnDownloadRequest(std::unique_ptr<SDownloadInfo> request)
{
    InitView();
    if (request && request->File) {
        const std::string file = *request->File;
        EditFilename->setText(ToQString(file));
        EditFilename->setEnabled(false);
        ButtonReset->setEnabled(false);
        ButtonVersion->setEnabled(false);
        m_bFilePreset = true;
        try {
            // Unattended only when the target is unambiguous.
            std::string serial;
            bool unattended = false;
            {
                ScopedSect lock(List().Lock);
                if (m_nDeviceCount == 1 && request->Channel == 0) {
                    const NodeRef ref = GetNodeRef(TreeViewDevice->topLevelItem(0));
                    if (!ref.Dev)
                        throw NxException("Internal error: tree node without device");
                    serial = ref.Dev->GetSerial();
                    unattended = true;
                }
            }
            if (unattended) {
                ActionScope action(*this);
                setWindowFlag(Qt::WindowStaysOnTopHint);
                show();
                RunDownload(serial, 0, file);
                NxSleep(100);
                return std::nullopt;
            }
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    }
    hide();
    NxDialogs().Exec(*this);
    return std::nullopt;
}

void PostDownloadRequest(TFormDownload& window, const char* device, int channel, const char* file)
{
    auto request = std::make_unique<SDownloadInfo>();
    if (file)
        request->File = file;
    if (device)
        request->Device = device;
    request->Channel = channel;
    std::optional<std::string> error = window.OnDownloadRequest(std::move(request));
    if (error)
        throw NxException(*error);
}
