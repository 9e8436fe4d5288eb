// The extraction dialog ("抽出"): conditions on source and destination IP
// address and port, built from the values that occurred in the owning list.
#pragma once

#include <QDialog>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>
#include <functional>
#include <vector>

#include "core/row_text.h"

class QComboBox;
class QPushButton;
class QTableWidget;

namespace kestrel {

// The text that stands for any value.
inline constexpr char kExtractAll[] = "ALL";

// One condition: source IP, destination IP, source port, destination port;
// each a cell text or "ALL". A row matches when every field that is not
// "ALL" equals its cell.
struct ExtractCondition {
    std::array<QString, 4> fields;
    bool operator==(const ExtractCondition&) const = default;
};

// The list columns the four fields are compared with, in field order.
inline constexpr std::array<int, 4> kExtractColumns = {kColumnSourceIp, kColumnDestinationIp,
                                                       kColumnSourcePort, kColumnDestinationPort};

// Row indexes (ascending, each once) of the rows 0 .. rowCount - 1 that match
// at least one condition; `cell(row, column)` gives a row's cell text.
std::vector<int> MatchExtractRows(const std::vector<ExtractCondition>& conditions, int rowCount,
                                  const std::function<QString(int row, int column)>& cell);

class CExtractDialog : public QDialog {
    Q_OBJECT
public:
    // Control ids of the dialog resource, kept as object names
    // ("control1001", ...) so the controls can be found.
    static constexpr int kIdSourceIp = 1001;
    static constexpr int kIdDestinationIp = 1002;
    static constexpr int kIdSourcePort = 1003;
    static constexpr int kIdDestinationPort = 1004;
    static constexpr int kIdConditions = 1005;
    static constexpr int kIdAdd = 1006;
    static constexpr int kIdDelete = 1007;

    // Runs the dialog (after OnInitDialog) and returns its result code; the
    // default runs it modally with exec().
    using Runner = std::function<int(CExtractDialog&)>;

    explicit CExtractDialog(QWidget* parent = nullptr);

    // Values of one list row that offers them: its non-empty address and
    // port cells join the value lists, which only grow.
    void AddRowValues(const std::array<QString, kColumnCount>& cells);

    // Empties the conditions, then runs the dialog; true on "抽出".
    bool RunDialog();
    void SetRunner(Runner runner) { m_runner = std::move(runner); }

    // The conditions confirmed by the last "抽出".
    const std::vector<ExtractCondition>& Conditions() const { return m_conditions; }
    void ClearConditions() { m_conditions.clear(); }

    // Fills the drop-down lists from the value lists (sorted as text, each
    // value once, "ALL" last and selected) and empties the condition list.
    void OnInitDialog();
    // "追加": a condition from the four selections unless all are "ALL".
    void OnAddCondition();
    // "削除": removes every selected condition.
    void OnDeleteCondition();
    // "抽出": takes the conditions in list order and ends with OK.
    void OnOK();

    QComboBox* SourceIpCombo() const { return m_combos[0]; }
    QComboBox* DestinationIpCombo() const { return m_combos[1]; }
    QComboBox* SourcePortCombo() const { return m_combos[2]; }
    QComboBox* DestinationPortCombo() const { return m_combos[3]; }
    QTableWidget* ConditionList() const { return m_conditionList; }
    QPushButton* AddButton() const { return m_addButton; }
    QPushButton* DeleteButton() const { return m_deleteButton; }
    QPushButton* OkButton() const { return m_okButton; }
    QPushButton* CancelButton() const { return m_cancelButton; }

    // The drop-down entries of one field (0 source IP .. 3 destination port).
    QStringList ComboTexts(int field) const;
    // The rows of the condition list as conditions.
    std::vector<ExtractCondition> ListedConditions() const;

    void accept() override;

private:
    struct ValueList {
        QStringList values;  // in order of first occurrence
        QSet<QString> seen;
    };

    // Dialog units of the resource to pixels of the dialog font.
    QRect DialogRect(int x, int y, int width, int height) const;

    std::array<ValueList, 4> m_values;
    std::vector<ExtractCondition> m_conditions;
    std::array<QComboBox*, 4> m_combos{};
    QTableWidget* m_conditionList = nullptr;
    QPushButton* m_addButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QPushButton* m_okButton = nullptr;
    QPushButton* m_cancelButton = nullptr;
    Runner m_runner;
    int m_baseX = 6;   // average character width of the dialog font
    int m_baseY = 12;  // character height of the dialog font
    int m_comboExtra = 0;  // pixels each drop-down box is wider than its resource width
};

}  // namespace kestrel
