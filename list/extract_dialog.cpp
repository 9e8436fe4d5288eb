#include "list/extract_dialog.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <algorithm>

#include "core/packet_store.h"
#include "framework/kestrel_doc.h"
#include "framework/pane_host.h"
#include "list/packet_list.h"

namespace kestrel {

namespace {

const QString& AllText() {
    static const QString text = QString::fromLatin1(kExtractAll);
    return text;
}

struct ConditionColumn {
    const char* title;
    int width;  // pixels
};
constexpr std::array<ConditionColumn, 4> kConditionColumns = {
    {{"SrcIP", 100}, {"DstIP", 100}, {"SrcPort", 60}, {"DstPort", 60}}};

QString ControlName(int id) {
    return QStringLiteral("control%1").arg(id);
}

}  // namespace

std::vector<int> MatchExtractRows(const std::vector<ExtractCondition>& conditions, int rowCount,
                                  const std::function<QString(int row, int column)>& cell) {
    std::vector<char> taken(static_cast<size_t>(std::max(rowCount, 0)), 0);
    std::vector<int> result;
    for (const ExtractCondition& condition : conditions) {
        std::vector<int> candidates;
        bool started = false;
        for (size_t field = 0; field < condition.fields.size(); ++field) {
            const QString& value = condition.fields[field];
            if (value == AllText())
                continue;
            const int column = kExtractColumns[field];
            if (!started) {
                for (int row = 0; row < rowCount; ++row) {
                    if (cell(row, column) == value)
                        candidates.push_back(row);
                }
                started = true;
            } else {
                std::erase_if(candidates, [&](int row) { return cell(row, column) != value; });
            }
        }
        // A condition of four "ALL" fields selects nothing.
        if (!started)
            continue;
        for (int row : candidates) {
            if (!taken[static_cast<size_t>(row)]) {
                taken[static_cast<size_t>(row)] = 1;
                result.push_back(row);
            }
        }
    }
    std::sort(result.begin(), result.end());
    return result;
}

CExtractDialog::CExtractDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("抽出"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    QFont dialogFont(QStringLiteral("ＭＳ Ｐゴシック"));
    dialogFont.setPointSize(9);
    setFont(dialogFont);
    const QFontMetrics metrics(dialogFont);
    // The average width of the Latin letters, as dialog units are measured.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = std::max(1, (metrics.horizontalAdvance(letters) / 26 + 1) / 2);
    m_baseY = std::max(1, metrics.height());
    // A drop-down box shows the widest address ("255.255.255.255") whole:
    // where the dialog font needs more than the box's width, both boxes
    // grow by the difference and the dialog with them, everything right of
    // the first box moving over, the buttons staying centred.
    {
        QComboBox probe;
        probe.setFont(dialogFont);
        probe.addItem(QStringLiteral("255.255.255.255"));
        m_comboExtra = std::max(0, probe.sizeHint().width() - DialogRect(0, 0, 58, 12).width());
    }
    const int extra = m_comboExtra;
    setFixedSize(DialogRect(0, 0, 191, 221).size() + QSize(2 * extra, 0));

    auto* addressGroup = new QGroupBox(QStringLiteral("IPｱﾄﾞﾚｽ"), this);
    addressGroup->setGeometry(DialogRect(7, 7, 177, 31).adjusted(0, 0, 2 * extra, 0));
    auto* portGroup = new QGroupBox(QStringLiteral("ﾎﾟｰﾄ番号"), this);
    portGroup->setGeometry(DialogRect(7, 42, 177, 31).adjusted(0, 0, 2 * extra, 0));

    struct ComboPlace {
        int id;
        int labelX, labelWidth, x, y;
        const char* label;
    };
    // Field order: source IP, destination IP, source port, destination port.
    const std::array<ComboPlace, 4> places = {{{kIdSourceIp, 11, 22, 34, 19, "送信元"},
                                               {kIdDestinationIp, 97, 21, 119, 19, "宛て先"},
                                               {kIdSourcePort, 11, 22, 34, 54, "送信元"},
                                               {kIdDestinationPort, 97, 21, 119, 54, "宛て先"}}};
    for (size_t field = 0; field < places.size(); ++field) {
        const ComboPlace& place = places[field];
        auto* label = new QLabel(QString::fromUtf8(place.label), this);
        const int shift = place.x > 34 ? extra : 0;  // right of the first box
        label->setGeometry(
            DialogRect(place.labelX, place.y + 2, place.labelWidth, 8).translated(shift, 0));
        auto* combo = new QComboBox(this);
        combo->setObjectName(ControlName(place.id));
        combo->setEditable(false);
        combo->setMaxVisibleItems(10);
        const QRect rect =
            DialogRect(place.x, place.y, 58, 12).translated(shift, 0).adjusted(0, 0, extra, 0);
        combo->setGeometry(rect);
        m_combos[field] = combo;
    }

    m_addButton = new QPushButton(QStringLiteral("追加"), this);
    m_addButton->setObjectName(ControlName(kIdAdd));
    m_addButton->setGeometry(DialogRect(40, 75, 50, 22).translated(extra, 0));
    m_deleteButton = new QPushButton(QStringLiteral("削除"), this);
    m_deleteButton->setObjectName(ControlName(kIdDelete));
    m_deleteButton->setGeometry(DialogRect(99, 76, 50, 21).translated(extra, 0));

    m_conditionList = new QTableWidget(0, static_cast<int>(kConditionColumns.size()), this);
    m_conditionList->setObjectName(ControlName(kIdConditions));
    m_conditionList->setGeometry(DialogRect(7, 100, 177, 95).adjusted(0, 0, 2 * extra, 0));
    m_conditionList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_conditionList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_conditionList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_conditionList->setShowGrid(true);
    m_conditionList->setWordWrap(false);
    m_conditionList->verticalHeader()->hide();
    m_conditionList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_conditionList->horizontalHeader()->setHighlightSections(false);
    m_conditionList->horizontalHeader()->setStretchLastSection(false);
    for (size_t column = 0; column < kConditionColumns.size(); ++column) {
        m_conditionList->setHorizontalHeaderItem(
            static_cast<int>(column),
            new QTableWidgetItem(QString::fromLatin1(kConditionColumns[column].title)));
        m_conditionList->setColumnWidth(static_cast<int>(column), kConditionColumns[column].width);
    }

    m_okButton = new QPushButton(QStringLiteral("抽出"), this);
    m_okButton->setGeometry(DialogRect(44, 200, 50, 14).translated(extra, 0));
    m_okButton->setDefault(true);
    m_cancelButton = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    m_cancelButton->setGeometry(DialogRect(104, 200, 50, 14).translated(extra, 0));
    // Enter presses the button that has the focus; elsewhere it presses "抽出".
    for (QPushButton* button : {m_addButton, m_deleteButton, m_okButton, m_cancelButton})
        button->setAutoDefault(true);

    connect(m_addButton, &QPushButton::clicked, this, &CExtractDialog::OnAddCondition);
    connect(m_deleteButton, &QPushButton::clicked, this, &CExtractDialog::OnDeleteCondition);
    connect(m_okButton, &QPushButton::clicked, this, &CExtractDialog::OnOK);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

QRect CExtractDialog::DialogRect(int x, int y, int width, int height) const {
    return QRect(x * m_baseX / 4, y * m_baseY / 8, width * m_baseX / 4, height * m_baseY / 8);
}

void CExtractDialog::AddRowValues(const std::array<QString, kColumnCount>& cells) {
    for (size_t field = 0; field < kExtractColumns.size(); ++field) {
        const QString& value = cells[static_cast<size_t>(kExtractColumns[field])];
        ValueList& list = m_values[field];
        if (value.isEmpty() || list.seen.contains(value))
            continue;
        list.seen.insert(value);
        list.values.append(value);
    }
}

bool CExtractDialog::RunDialog() {
    m_conditions.clear();
    OnInitDialog();
    const int result = m_runner ? m_runner(*this) : exec();
    // The conditions of a cancelled dialog are never used.
    if (result != QDialog::Accepted) {
        m_conditions.clear();
        return false;
    }
    return true;
}

void CExtractDialog::OnInitDialog() {
    for (size_t field = 0; field < m_combos.size(); ++field) {
        QStringList values = m_values[field].values;
        // The drop-down lists sort as text (10.0.0.1 before 8.8.8.8), with
        // "ALL" last, outside the sort.
        std::sort(values.begin(), values.end());
        values.removeAll(AllText());
        QComboBox* combo = m_combos[field];
        combo->clear();
        combo->addItems(values);
        combo->addItem(AllText());
        combo->setCurrentIndex(combo->count() - 1);
        // The list drops down as wide as its longest entry, wider than the
        // box where it has to be, so no address is cut.
        QAbstractItemView* view = combo->view();
        view->setMinimumWidth(view->sizeHintForColumn(0) + 2 * view->frameWidth() +
                              view->verticalScrollBar()->sizeHint().width());
    }
    m_conditionList->clearContents();
    m_conditionList->setRowCount(0);
}

void CExtractDialog::OnAddCondition() {
    ExtractCondition condition;
    bool allAll = true;
    for (size_t field = 0; field < m_combos.size(); ++field) {
        condition.fields[field] = m_combos[field]->currentText();
        if (condition.fields[field] != AllText())
            allAll = false;
    }
    if (allAll)
        return;
    const int row = m_conditionList->rowCount();
    m_conditionList->insertRow(row);
    for (size_t field = 0; field < condition.fields.size(); ++field) {
        m_conditionList->setItem(row, static_cast<int>(field),
                                 new QTableWidgetItem(condition.fields[field]));
    }
    for (QComboBox* combo : m_combos) combo->setCurrentIndex(combo->count() - 1);
}

void CExtractDialog::OnDeleteCondition() {
    std::vector<int> rows;
    for (const QModelIndex& index : m_conditionList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // From the highest down, so the lower indexes stay valid.
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) m_conditionList->removeRow(*it);
}

void CExtractDialog::OnOK() {
    m_conditions = ListedConditions();
    QDialog::accept();
}

void CExtractDialog::accept() {
    // The Enter key and the default button take the same road.
    OnOK();
}

QStringList CExtractDialog::ComboTexts(int field) const {
    QStringList texts;
    const QComboBox* combo = m_combos[static_cast<size_t>(field)];
    for (int i = 0; i < combo->count(); ++i) texts.append(combo->itemText(i));
    return texts;
}

std::vector<ExtractCondition> CExtractDialog::ListedConditions() const {
    std::vector<ExtractCondition> conditions;
    for (int row = 0; row < m_conditionList->rowCount(); ++row) {
        ExtractCondition condition;
        for (size_t field = 0; field < condition.fields.size(); ++field) {
            const QTableWidgetItem* item = m_conditionList->item(row, static_cast<int>(field));
            condition.fields[field] = item ? item->text() : QString();
        }
        conditions.push_back(std::move(condition));
    }
    return conditions;
}

// The packet list's extraction command.

void CPacketList::OnExtract() {
    if (!m_extractDialog->RunDialog())
        return;
    const std::vector<ExtractCondition> conditions = m_extractDialog->Conditions();
    m_extractDialog->ClearConditions();
    RunExtraction(conditions);
}

CPacketList* CPacketList::RunExtraction(const std::vector<ExtractCondition>& conditions) {
    // Only rows count: store entries the row timer has not shown yet are
    // not extracted.
    const std::vector<int> rows =
        MatchExtractRows(conditions, m_model.rowCount(), [this](int row, int column) {
            return m_model.index(row, column).data(Qt::DisplayRole).toString();
        });
    if (rows.empty() || !m_frame)
        return nullptr;
    CPacketList* target = m_frame->OpenExtractTarget();
    if (!target)
        return nullptr;
    const PacketStore& store = m_document->Store();
    for (int row : rows) {
        Packet* copy = CopyPacket(store.At(row));
        if (copy)
            target->AppendPacket(copy);
        else
            target->m_document->Store().NoteLost();
    }
    return target;
}

}  // namespace kestrel
