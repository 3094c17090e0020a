#pragma once
// "Тревоги и поправки": per-thermometer offsets and alarm limits, per-channel protection times
// and the alarm command, edited as one table. The dialog only edits a Rules value; the caller
// saves it and hands it to the program.
#include <QDialog>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/rules.h"

class QLabel;
class QLineEdit;
class QTableWidget;

namespace kalvo {

class Connections;
class Program;

class CDlgRules : public QDialog {
  public:
    struct Thermometer {
        uint64_t rom = 0;
        std::u16string name;
    };
    // Each DS2413 gives two rows, A and B.
    CDlgRules(std::vector<Thermometer> thermometers, std::vector<uint64_t> switches, Rules rules,
              QWidget* parent = nullptr);

    // The table's columns.
    enum Column { kColDevice, kColOffset, kColLow, kColHigh, kColSilent, kColCount };
    enum ChannelColumn { kColMinOff = 1, kColMinOn = 2 };

    QTableWidget* Table() const { return table_; }
    QLineEdit* CommandEdit() const { return command_; }
    QLabel* ErrorLabel() const { return error_; }
    int FirstChannelRow() const { return int(thermometers_.size()) + 1; }

    // What the table holds, or nothing with the error shown and its cell selected. Devices the
    // table does not show keep their rules.
    std::optional<Rules> Read();
    const Rules& Result() const { return rules_; }

    void accept() override;

  private:
    void Fill();
    // Nothing for an empty cell; false when the text is not a number in [low, high].
    bool ReadCell(int row, int col, double low, double high, bool whole,
                  std::optional<double>* value);
    void Refuse(int row, int col, const QString& why);

    std::vector<Thermometer> thermometers_;
    std::vector<uint64_t> switches_;
    Rules rules_;
    QTableWidget* table_ = nullptr;
    QLineEdit* command_ = nullptr;
    QLabel* error_ = nullptr;
};

// The dialog over the program's tables; what the user accepts goes into kalvo.ini and is in force
// from the next pass. A save that fails says why in a box and changes nothing.
void EditRules(QWidget* parent, Program& program, Connections& connections);

}  // namespace kalvo
