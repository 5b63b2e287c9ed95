#include "Forms/TFormDownload.h"

#include "Appcfg.h"
#include "Download/DryRunDownload.h"
#include "Download/FileInspection.h"
#include "FilterInfo.h"
#include "Forms/NxDialogs.h"
#include "Forms/TFormFilterInfo.h"
#include "Forms/TFormVersionInfo.h"
#include "NxClock.h"
#include "NxException.h"
#include "Forms/TFormHistory.h"
#include "Utils.h"
#include "VersionInfo.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <QWindow>

#include <algorithm>

static void InitFormResources()
{
    // The resources live in a static library, whose initialiser the linker drops.
    Q_INIT_RESOURCE(nxforms);
}

namespace {

constexpr int kRefRole = Qt::UserRole;
// The designed layout: margins, the gap between tree, bar and file field,
// and between the tree and the button column.
constexpr int kMargin = 8;
constexpr int kGap = 6;
constexpr int kColumnGap = 4;
constexpr int kColumnTop = 5;
// The tree shows a controller and this many channels at the least size.
constexpr int kTreeRows = 4;

QString ToQString(const std::string& s)
{
    return QString::fromStdString(s);
}

const QColor kErrorColour(0xC0, 0x1C, 0x28);

const QString kWaitingForControllers = QString::fromUtf8("Waiting for the attached controllers…");
const QString kUnplugWarning = "Do not unplug the bridge or switch the incubator off until the "
                               "download has finished.";

} // namespace

// Paints a controller's name "description (#serial)" with the description
// shortened in its middle when the row is too narrow, never the serial; a
// channel without an icon keeps the icon's room, so that labels line up.
class TFormDownload::NameDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QStyleOptionViewItem Option(QStyleOptionViewItem option, const QModelIndex& index) const
    {
        initStyleOption(&option, index);
        return option;
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        const QWidget* w = option->widget;
        if (!(option->features & QStyleOptionViewItem::HasDecoration)) {
            // A null icon draws nothing but takes its room.
            option->features |= QStyleOptionViewItem::HasDecoration;
            if (const auto* view = qobject_cast<const QAbstractItemView*>(w))
                option->decorationSize = view->iconSize();
        }
        const qsizetype tail = option->text.lastIndexOf(" (#");
        if (tail <= 0 || !option->text.endsWith(')'))
            return;
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
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    m_pCountdown = new QTimer(this);
    m_pCountdown->setInterval(250);
    connect(m_pCountdown, &QTimer::timeout, this, &TFormDownload::ShowCountdown);

    EditFilename = new QLineEdit(this);
    EditFilename->setObjectName("EditFilename");
    EditFilename->setReadOnly(true);
    EditFilename->setEnabled(false);
    QPalette face = EditFilename->palette();
    face.setColor(QPalette::Base, face.color(QPalette::Button));
    EditFilename->setPalette(face);

    LabelSts = new QLabel(this);
    LabelSts->setObjectName("LabelSts");

    auto button = [this](const char* name, const char* text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false); // Enter reaches keyPressEvent, which presses the focused one
        return b;
    };
    ButtonDownload = button("ButtonDownload", "Download");
    ButtonVersion = button("ButtonVersion", "Version Info");
    ButtonReset = button("ButtonReset", "Reset device / component");
    ButtonResetFilter = button("ButtonResetFilter", "Reset Filter change");
    ButtonResetFilter->setEnabled(false);
    ButtonClose = button("ButtonClose", "Close");
    connect(ButtonDownload, &QPushButton::clicked, this, &TFormDownload::ButtonDownloadClick);
    connect(ButtonVersion, &QPushButton::clicked, this, &TFormDownload::ButtonVersionClick);
    connect(ButtonReset, &QPushButton::clicked, this, &TFormDownload::ButtonResetClick);
    connect(ButtonResetFilter, &QPushButton::clicked, this, &TFormDownload::ButtonResetFilterClick);
    connect(ButtonClose, &QPushButton::clicked, this, &TFormDownload::ButtonCloseClick);
    setTabOrder(TreeViewDevice, ButtonDownload);
    setTabOrder(ButtonDownload, ButtonVersion);
    setTabOrder(ButtonVersion, ButtonReset);
    setTabOrder(ButtonReset, ButtonResetFilter);
    setTabOrder(ButtonResetFilter, ButtonClose);

    m_Guard.OnShow = [this](const QString& awaited) { ShowBusy(awaited); };
    m_Guard.OnHide = [this] { HideBusy(); };
    m_Guard.OnFree = [this] {
        // A list update skipped while the exchange waited runs now, outside it.
        if (m_bUpdatePending)
            QTimer::singleShot(0, this, [this] {
                if (m_bUpdatePending)
                    UpdateDeviceList();
            });
    };
    SetDialogOwner(this);

    MeasureControls();
    LayoutColumn(true);
    SetBaseSize();

    // FormCreate
    RebuildTree();
    if (m_nDeviceCount == 1)
        TreeViewDevice->setCurrentItem(TreeViewDevice->topLevelItem(0));
    setWindowTitle(QString("Nurax Update 5000 ") + NX_PROGRAM_VERSION);
    AddHistoryAction(*this); // "History..." in the tree's context menu, Ctrl+H
}

TFormDownload::~TFormDownload()
{
    if (m_Busy)
        QApplication::restoreOverrideCursor();
    SetDialogOwner(nullptr, this);
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
        m_pOwnVersion = std::make_unique<TFormVersionInfo>(this);
        m_pVersion = m_pOwnVersion.get();
    }
    return *m_pVersion;
}

TFormFilterInfo& TFormDownload::FilterForm()
{
    if (!m_pFilter) {
        m_pOwnFilter = std::make_unique<TFormFilterInfo>(this);
        m_pFilter = m_pOwnFilter.get();
    }
    return *m_pFilter;
}

// ---- Layout and states ----

void TFormDownload::MeasureControls()
{
    m_Geo = Geometry{};
    // Buttons: their text with the style's padding.
    for (QPushButton* b :
         {ButtonDownload, ButtonVersion, ButtonReset, ButtonResetFilter, ButtonClose}) {
        if (b->isHidden())
            continue;
        const QSize hint = b->sizeHint();
        const int text = b->fontMetrics().horizontalAdvance(b->text()) +
                         2 * b->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, b);
        m_Geo.ColumnWidth = std::max({m_Geo.ColumnWidth, hint.width(), text});
        m_Geo.ButtonHeight = std::max(m_Geo.ButtonHeight, hint.height());
    }
    m_Geo.BarHeight = std::max(m_Geo.BarHeight, ProgressBar1->sizeHint().height());
    m_Geo.EditHeight = std::max(m_Geo.EditHeight, EditFilename->sizeHint().height());
    m_Geo.LabelHeight = std::max(m_Geo.LabelHeight, LabelSts->fontMetrics().height());
    // A row as the tree's delegate sizes it: the icon beside a line of text.
    QStyleOptionViewItem row;
    row.initFrom(TreeViewDevice);
    row.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    row.text = "Channel #1 (0001|21|1330427)";
    row.icon = ImageList1[0];
    row.decorationSize = TreeViewDevice->iconSize();
    row.widget = TreeViewDevice;
    const int rowHeight =
        TreeViewDevice->style()
            ->sizeFromContents(QStyle::CT_ItemViewItem, &row, QSize(), TreeViewDevice)
            .height();
    m_Geo.TreeHeight =
        std::max(m_Geo.TreeHeight, kTreeRows * rowHeight + 2 * TreeViewDevice->frameWidth());
}

void TFormDownload::LayoutColumn(bool withReset)
{
    QPushButton* column[] = {ButtonDownload, ButtonVersion, ButtonReset, ButtonResetFilter,
                             ButtonClose};
    int y = kColumnTop;
    for (QPushButton* b : column) {
        if (b == ButtonReset && !withReset)
            continue;
        b->move(b->x(), y);
        b->resize(b->width(), m_Geo.ButtonHeight);
        y += m_Geo.ButtonHeight + kColumnGap;
    }
}

void TFormDownload::InitView()
{
    m_bFilePreset = false;
    EditFilename->clear();
    EnableControls(true);
    SetProgress({}, 0);
    ButtonResetFilter->setEnabled(false);
    LabelSts->hide();
    ButtonReset->hide();
    MeasureControls();
    LayoutColumn(false);
    SetBaseSize();
}

void TFormDownload::SetBaseSize()
{
    // The client area ends below the file field (the status label, once
    // hidden, is cut off) or below the column, whichever is lower.
    const int fields = kMargin + m_Geo.TreeHeight + kGap + m_Geo.BarHeight + kGap +
                       m_Geo.EditHeight + kGap +
                       (LabelSts->isHidden() ? 0 : m_Geo.LabelHeight + kMargin);
    const int column = ButtonClose->geometry().bottom() + 1 + kMargin;
    m_nBaseHeight = std::max(fields, column);
    const int width = kMargin + m_Geo.TreeWidth + kGap + m_Geo.ColumnWidth + kMargin;
    setMinimumSize(width, m_nBaseHeight);
    resize(width, m_nBaseHeight);
    FitToWindow();
}

void TFormDownload::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    FitToWindow();
}

void TFormDownload::FitToWindow()
{
    // The least size holds the designed places; what the window gains goes to the tree.
    const int dx = std::max(0, width() - minimumWidth());
    const int dy = std::max(0, height() - m_nBaseHeight);
    const int fieldWidth = m_Geo.TreeWidth + dx;
    TreeViewDevice->setGeometry(kMargin, kMargin, fieldWidth, m_Geo.TreeHeight + dy);
    int y = TreeViewDevice->geometry().bottom() + 1 + kGap;
    ProgressBar1->setGeometry(kMargin, y, fieldWidth, m_Geo.BarHeight);
    y += m_Geo.BarHeight + kGap;
    EditFilename->setGeometry(kMargin, y, fieldWidth, m_Geo.EditHeight);
    y += m_Geo.EditHeight + kGap;
    LabelSts->setGeometry(kMargin, y, fieldWidth, m_Geo.LabelHeight);
    // The design's column: Download and Version Info one pixel narrower.
    const int x = kMargin + fieldWidth + kGap;
    for (QPushButton* b : {ButtonDownload, ButtonVersion})
        b->setGeometry(x + 1, b->y(), m_Geo.ColumnWidth - 1, m_Geo.ButtonHeight);
    for (QPushButton* b : {ButtonReset, ButtonResetFilter, ButtonClose})
        b->setGeometry(x, b->y(), m_Geo.ColumnWidth, m_Geo.ButtonHeight);
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
    // While an action or a long wait has the controls off, they stay off.
    if (!list || !ref.Dev || !m_bControlsOn)
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
    return item ? ItemOption(item).text : QString();
}

QRect TFormDownload::ShownTextRect(const QTreeWidgetItem* item) const
{
    if (!item)
        return {};
    const QStyleOptionViewItem option = ItemOption(item);
    return TreeViewDevice->style()->subElementRect(QStyle::SE_ItemViewItemText, &option,
                                                   TreeViewDevice);
}

QStyleOptionViewItem TFormDownload::ItemOption(const QTreeWidgetItem* item) const
{
    const QModelIndex index = TreeViewDevice->indexFromItem(item);
    QStyleOptionViewItem option;
    option.initFrom(TreeViewDevice->viewport());
    option.widget = TreeViewDevice;
    option.font = TreeViewDevice->font();
    option.rect = TreeViewDevice->visualRect(index);
    option.textElideMode = TreeViewDevice->textElideMode();
    option.decorationSize = TreeViewDevice->iconSize(); // as the view gives its delegate
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    return m_pNames->Option(option, index);
}

bool TFormDownload::UpdateDeviceList()
{
    TNxDevList* list = TNxDevList::Instance();
    if (!list)
        return false;
    if (!m_Guard.MayUpdateList()) {
        m_bUpdatePending = true;
        return false;
    }
    m_bUpdatePending = false;
    WaitGuard::Exchange wait(m_Guard, kWaitingForControllers);
    // Skipped while an action holds the list: kept for when it ends. A tick
    // during this update's own waits has asked for one more.
    const bool updated = list->Update();
    m_bUpdatePending = m_bUpdatePending || !updated;
    return updated;
}

// ---- Window events ----

void TFormDownload::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    TreeViewDevice->setFocus();
}

void TFormDownload::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // As on any desktop: Enter presses the button that has the focus.
        if (auto* b = qobject_cast<QPushButton*>(focusWidget()); b && b->isEnabled()) {
            b->click();
            return;
        }
        break;
    case Qt::Key_Escape:
        // The dialog base would reject, which ends the program: the main
        // window closes only through Close and the window frame.
        event->accept();
        return;
    default:
        break;
    }
    QDialog::keyPressEvent(event);
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

void TFormDownload::ShowProgress(const std::string& text, std::optional<unsigned> percent)
{
    LabelSts->setText(ToQString(text));
    SetBarText(ToQString(text));
    if (percent)
        ProgressBar1->setValue(static_cast<int>(*percent));
}

void TFormDownload::SetBarText(const QString& text, bool failed)
{
    m_pCountdown->stop();
    ProgressBar1->SetText(text);
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
    ProgressBar1->SetText(ToQString(Status()),
                          QString(" - Waiting for the %1: %2 s").arg(target).arg(left));
    if (left <= 0)
        m_pCountdown->stop();
}

void TFormDownload::OnRetry(int attempt, int attempts)
{
    m_pCountdown->stop();
    ProgressBar1->SetText(ToQString(Status()),
                          QString(" - attempt %1 of %2").arg(attempt).arg(attempts));
    ProcessMessages();
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
    WaitGuard::Action action(m_Guard);
    SetProgress({}, 0);
    EditFilename->setText(ToQString(file));
    try {
        // The bar shows the download's own steps; a long wait adds the cursor.
        WaitGuard::Exchange wait(m_Guard, {});
        ::RunDownload(List(), *this, serial, channel, file);
    } catch (const std::exception& e) {
        SetProgress(Status(), 100);
        SetBarText("Failed", true);
        EnableControls(true);
        EndStayOnTop();
        NxDialogs().Error(this, kDownloadFailedCaption, e.what());
        throw;
    }
    EnableControls(true);
    SetProgress(kDownloadFinished);
    EndStayOnTop();
    NxDialogs().Information(this, windowTitle(), kDownloadFinished);
}

QString TFormDownload::Awaited(const NodeRef& ref)
{
    return ref.Channel > 0
               ? QString::fromUtf8("Waiting for the component on channel %1…").arg(ref.Channel)
               : QString::fromUtf8("Waiting for the controller…");
}

QString TFormDownload::DownloadQuestion(const std::string& file, const NodeRef& target,
                                        bool& refused)
{
    QString text = QString("Are you sure to download this file: '%1'").arg(ToQString(file)) +
                   ToQString(ConfirmationLines(file, target.Channel));
    text += text.contains('\n') ? "\n" : "\n\n";
    const std::string& serial = target.Dev->GetSerial();
    const auto& channels = target.Dev->GetChannels();
    if (target.Channel > 0 && static_cast<size_t>(target.Channel) <= channels.size()) {
        const TNxDev::NxChannelInfo& info = channels[target.Channel - 1];
        text += ToQString(StrFormat("Device: channel %d of controller %s (identifier 0x%02X",
                                    target.Channel, serial.c_str(), info.Identifier));
        if (!info.SerialNumber.empty())
            text += ToQString(", serial " + info.SerialNumber);
        text += ")";
    } else {
        text += ToQString("Device: controller " + serial);
    }
    // The download's own checks, reading only: a file for another target is
    // refused before the question rather than after Yes.
    refused = false;
    try {
        WaitGuard::Exchange wait(m_Guard, Awaited(target));
        CheckDownload(List(), serial, target.Channel, file);
    } catch (const std::exception& e) {
        refused = true;
        text += "\n\n" + ToQString(e.what());
    }
    return text + "\n\n" + kUnplugWarning;
}

std::string TFormDownload::SelectFile()
{
    const QString name =
        NxDialogs().OpenFile(this, kOpenDialogTitle, ToQString(CAppCfg::Instance().StartFolder()),
                             FileFilters(kOpenDialogFilter), "dat");
    if (name.isEmpty())
        return {};
    const std::string file = name.toStdString();
    CAppCfg::Instance().SetLastDir(file.substr(0, file.find_last_of('/') + 1));
    // The device asked about is the one written: the list stays as it is
    // until the question is answered.
    ScopedSect lock(List().Lock);
    bool refused = false;
    const QString question = DownloadQuestion(file, SelectedRef(), refused);
    if (!NxDialogs().Question(this, "Download confirmation", question, !refused))
        return {};
    return file;
}

void TFormDownload::ButtonDownloadClick()
{
    if (!m_Guard.MayStartAction())
        return;
    WaitGuard::Action action(m_Guard);
    try {
        if (!SelectedNode())
            throw NxException(kNoDeviceSelected);
        if (!m_bFilePreset) {
            const std::string file = SelectFile();
            if (file.empty())
                return;
            EditFilename->setText(ToQString(file));
        }
        ScopedSect lock(List().Lock);
        const NodeRef ref = SelectedRef();
        try {
            RunDownload(ref.Dev->GetSerial(), ref.Channel, EditFilename->text().toStdString());
        } catch (const std::exception&) {
            // RunDownload has shown it.
        }
    } catch (const std::exception& e) {
        ShowError(e.what());
    }
}

// ---- Version report, reset, filter counter ----

template <class Action> void TFormDownload::RunOnSelection(Action action)
{
    if (!m_Guard.MayStartAction())
        return;
    WaitGuard::Action running(m_Guard);
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
        std::optional<WaitGuard::Exchange> wait(std::in_place, m_Guard, Awaited(ref));
        const NxVersionInfo info = ReadVersionInfo(*ref.Dev, ref.Channel);
        wait.reset();
        VersionForm().SetReport(FormatVersionReport(info, "\r\n"));
        NxDialogs().Exec(VersionForm());
    });
}

void TFormDownload::ButtonResetClick()
{
    RunOnSelection([this](const NodeRef& ref) {
        WaitGuard::Exchange wait(m_Guard, Awaited(ref));
        ResetToApplication(*ref.Dev, ref.Channel);
    });
}

void TFormDownload::ButtonResetFilterClick()
{
    RunOnSelection([this](const NodeRef& ref) {
        if (ref.Channel < 1)
            return; // a controller has no filter counter
        CheckFilterReset(*ref.Dev, ref.Channel);
        TFormFilterInfo& dlg = FilterForm();
        std::optional<WaitGuard::Exchange> wait(std::in_place, m_Guard, Awaited(ref));
        const std::string counters = FormatFilterText(ReadFilterCounters(*ref.Dev, ref.Channel));
        wait.reset();
        dlg.Fill(counters, kFilterQuestion, true);
        if (NxDialogs().Exec(dlg) != QDialog::Accepted)
            return;
        wait.emplace(m_Guard, Awaited(ref));
        const std::string reset = FormatFilterText(ResetFilterCounter(*ref.Dev, ref.Channel));
        wait.reset();
        dlg.Fill(reset, kFilterResetDone, false);
        NxDialogs().Exec(dlg);
        dlg.hide();
    });
}

// ---- Feedback of long waits ----

void TFormDownload::ShowBusy(const QString& awaited)
{
    if (!m_Busy) {
        BusyState& b = m_Busy.emplace();
        QApplication::setOverrideCursor(Qt::WaitCursor);
        b.BarText = ProgressBar1->FullText();
        b.Focus = focusWidget();
        // An action that has turned the controls off keeps them so.
        b.ControlsOff = m_bControlsOn;
        b.Tree = TreeViewDevice->isEnabled();
        b.Version = ButtonVersion->isEnabled();
        b.Reset = ButtonReset->isEnabled();
        b.Close = ButtonClose->isEnabled();
        if (b.ControlsOff)
            EnableControls(false);
    }
    if (!awaited.isEmpty()) {
        ProgressBar1->SetText(awaited);
        m_Busy->Shown = awaited;
    }
}

void TFormDownload::HideBusy()
{
    if (!m_Busy)
        return;
    const BusyState b = *m_Busy;
    m_Busy.reset();
    QApplication::restoreOverrideCursor();
    // The bar's text back, unless something else has written it since.
    if (!b.Shown.isEmpty() && ProgressBar1->FullText() == b.Shown)
        ProgressBar1->SetText(b.BarText);
    if (!b.ControlsOff)
        return;
    m_bControlsOn = true;
    TreeViewDevice->setEnabled(b.Tree);
    ButtonVersion->setEnabled(b.Version);
    ButtonReset->setEnabled(b.Reset);
    ButtonClose->setEnabled(b.Close);
    FollowSelection(); // Download and Reset Filter change as the selection says
    if (b.Focus && b.Focus->isEnabled())
        b.Focus->setFocus();
}

void TFormDownload::EndStayOnTop()
{
    if (!(windowFlags() & Qt::WindowStaysOnTopHint))
        return;
    // Straight to the window system: changing the widget's flags would
    // hide the window and show it again.
    const Qt::WindowFlags flags = windowFlags() & ~Qt::WindowStaysOnTopHint;
    overrideWindowFlags(flags);
    if (QWindow* w = windowHandle())
        w->setFlags(flags);
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
                WaitGuard::Action action(m_Guard);
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
