#include "desktop/pages/dlg_rules.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QVBoxLayout>

#include <cmath>

#include "core/common/message_box.h"
#include "core/common/pass_report.h"
#include "core/common/text.h"
#include "core/connect/connections.h"
#include "core/device/rom_code.h"
#include "core/engine/program.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {
namespace {

constexpr double kMinCelsius = -55.0;  // the sensors' range
constexpr double kMaxCelsius = 125.0;
constexpr double kMaxOffset = 10.0;
constexpr double kMaxSeconds = 7 * 24 * 3600.0;

// Shortest text that reads back as the same number, with the decimal comma of the tables.
QString NumberText(double value) {
    QString text = QString::number(value, 'g', 15);
    text.replace(QLatin1Char('.'), QLatin1Char(','));
    return text;
}

QTableWidgetItem* ReadOnlyItem(const QString& text) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled);
    return item;
}

}  // namespace

CDlgRules::CDlgRules(std::vector<Thermometer> thermometers, std::vector<uint64_t> switches,
                     Rules rules, QWidget* parent)
    : QDialog(parent),
      thermometers_(std::move(thermometers)),
      switches_(std::move(switches)),
      rules_(std::move(rules)) {
    setObjectName(QStringLiteral("RulesDialog"));
    setWindowTitle(QStringLiteral("Тревоги и поправки"));
    table_ = new QTableWidget(this);
    table_->setObjectName(QStringLiteral("RulesTable"));
    table_->setColumnCount(kColCount);
    table_->setHorizontalHeaderLabels({QStringLiteral("Термометр"), QStringLiteral("Поправка, °C"),
                                       QStringLiteral("Тревога ниже, °C"),
                                       QStringLiteral("Тревога выше, °C"),
                                       QStringLiteral("Молчание, с")});
    table_->verticalHeader()->hide();
    table_->horizontalHeader()->setSectionResizeMode(kColDevice, QHeaderView::ResizeToContents);
    command_ = new QLineEdit(this);
    command_->setObjectName(QStringLiteral("AlarmCommand"));
    command_->setPlaceholderText(QStringLiteral("/usr/local/bin/notify-me"));
    error_ = new QLabel(this);
    error_->setObjectName(QStringLiteral("RulesError"));
    error_->setStyleSheet(QStringLiteral("color: #b00000"));
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &CDlgRules::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CDlgRules::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_, 1);
    layout->addWidget(new QLabel(QStringLiteral("Команда при тревоге и её снятии:"), this));
    layout->addWidget(command_);
    layout->addWidget(error_);
    layout->addWidget(buttons);
    Fill();
    resize(720, 420);
}

void CDlgRules::Fill() {
    const int channel_rows = int(switches_.size()) * 2;
    table_->setRowCount(FirstChannelRow() + channel_rows);
    const auto set = [this](int row, int col, const std::optional<double>& value) {
        table_->setItem(row, col, new QTableWidgetItem(value ? NumberText(*value) : QString()));
    };
    for (int row = 0; row < int(thermometers_.size()); ++row) {
        const Thermometer& t = thermometers_[size_t(row)];
        table_->setItem(row, kColDevice,
                        ReadOnlyItem(ToQString(t.name) + QStringLiteral("  (") +
                                     QString::fromStdString(W1Id(t.rom)) + QLatin1Char(')')));
        const auto it = rules_.sensors.find(t.rom);
        const SensorRules sensor = it == rules_.sensors.end() ? SensorRules{} : it->second;
        set(row, kColOffset, sensor.offset);
        set(row, kColLow, sensor.alarm_low);
        set(row, kColHigh, sensor.alarm_high);
        set(row, kColSilent,
            sensor.silent_after ? std::optional<double>(*sensor.silent_after) : std::nullopt);
    }
    // The channels' own header line.
    const int header = int(thermometers_.size());
    const QStringList channel_header{QStringLiteral("Канал"), QStringLiteral("Мин. выкл., с"),
                                     QStringLiteral("Мин. вкл., с"), QString(), QString()};
    for (int col = 0; col < kColCount; ++col) {
        QTableWidgetItem* item = ReadOnlyItem(channel_header[col]);
        QFont font = item->font();
        font.setBold(true);
        item->setFont(font);
        item->setBackground(palette().button());
        table_->setItem(header, col, item);
    }
    for (int index = 0; index < channel_rows; ++index) {
        const int row = FirstChannelRow() + index;
        const uint64_t rom = switches_[size_t(index / 2)];
        const int channel = index % 2;
        table_->setItem(row, kColDevice,
                        ReadOnlyItem(QString::fromStdString(W1Id(rom)) + QLatin1Char(' ') +
                                     QLatin1Char(channel == 0 ? 'a' : 'b')));
        const auto it = rules_.channels.find({rom, channel});
        const ChannelRules rules = it == rules_.channels.end() ? ChannelRules{} : it->second;
        const auto seconds = [](int value) {
            return value > 0 ? std::optional<double>(value) : std::nullopt;
        };
        set(row, kColMinOff, seconds(rules.min_off));
        set(row, kColMinOn, seconds(rules.min_on));
        for (int col = kColMinOn + 1; col < kColCount; ++col)
            table_->setItem(row, col, ReadOnlyItem({}));
    }
    command_->setText(QString::fromStdString(rules_.alarm_command));
}

bool CDlgRules::ReadCell(int row, int col, double low, double high, bool whole,
                         std::optional<double>* value) {
    value->reset();
    const QTableWidgetItem* item = table_->item(row, col);
    const QString text = item ? item->text().trimmed() : QString();
    if (text.isEmpty()) return true;
    double number = 0;
    if (!ParseDecimal(FromQString(text), &number) || !std::isfinite(number) || number < low ||
        number > high || (whole && number != std::floor(number))) {
        Refuse(row, col,
               QStringLiteral("%1: нужно %2 от %3 до %4")
                   .arg(table_->horizontalHeaderItem(col)->text(),
                        whole ? QStringLiteral("целое число") : QStringLiteral("число"),
                        NumberText(low), NumberText(high)));
        return false;
    }
    *value = number;
    return true;
}

void CDlgRules::Refuse(int row, int col, const QString& why) {
    error_->setText(why);
    table_->setCurrentCell(row, col);
}

std::optional<Rules> CDlgRules::Read() {
    Rules rules = rules_;
    for (int row = 0; row < int(thermometers_.size()); ++row) {
        std::optional<double> offset, low, high, silent;
        if (!ReadCell(row, kColOffset, -kMaxOffset, kMaxOffset, false, &offset) ||
            !ReadCell(row, kColLow, kMinCelsius, kMaxCelsius, false, &low) ||
            !ReadCell(row, kColHigh, kMinCelsius, kMaxCelsius, false, &high) ||
            !ReadCell(row, kColSilent, 1, kMaxSeconds, true, &silent))
            return std::nullopt;
        if (low && high && *low >= *high) {
            Refuse(row, kColHigh,
                   QStringLiteral("Верхняя граница тревоги должна быть выше нижней"));
            return std::nullopt;
        }
        SensorRules sensor{offset, low, high,
                           silent ? std::optional<int>(int(*silent)) : std::nullopt};
        const uint64_t rom = thermometers_[size_t(row)].rom;
        if (sensor == SensorRules{})
            rules.sensors.erase(rom);
        else
            rules.sensors[rom] = sensor;
    }
    for (int index = 0; index < int(switches_.size()) * 2; ++index) {
        const int row = FirstChannelRow() + index;
        std::optional<double> min_off, min_on;
        if (!ReadCell(row, kColMinOff, 0, kMaxSeconds, true, &min_off) ||
            !ReadCell(row, kColMinOn, 0, kMaxSeconds, true, &min_on))
            return std::nullopt;
        const ChannelRules channel{int(min_off.value_or(0)), int(min_on.value_or(0))};
        const std::pair<uint64_t, int> key{switches_[size_t(index / 2)], index % 2};
        if (channel == ChannelRules{})
            rules.channels.erase(key);
        else
            rules.channels[key] = channel;
    }
    rules.alarm_command = command_->text().trimmed().toStdString();
    error_->clear();
    return rules;
}

void CDlgRules::accept() {
    std::optional<Rules> rules = Read();
    if (!rules) return;
    rules_ = std::move(*rules);
    QDialog::accept();
}

void EditRules(QWidget* parent, Program& program, Connections& connections) {
    std::vector<CDlgRules::Thermometer> thermometers;
    const GridKalvo& rows = program.Thermometers();
    for (int row = 0; row < rows.RowCount(); ++row) {
        const RomCode rom = RomFromText(rows.CellText(row, GridKalvo::kColSerial));
        if (rom) thermometers.push_back({rom, rows.ThermometerName(row)});
    }
    std::vector<uint64_t> switches;
    const GridSw& channels = program.Switches();
    for (int row = 0; row < channels.RowCount(); ++row) {
        if (const RomCode rom = channels.SwitchRom(row)) switches.push_back(rom);
    }
    CDlgRules dialog(std::move(thermometers), std::move(switches), connections.CurrentRules(),
                     parent);
    if (dialog.exec() != QDialog::Accepted) return;
    std::string why;
    if (!connections.SaveRules(dialog.Result(), &why))
        ShowMessageBox(u"Error", u"Тревоги и поправки не сохранены: " + Utf8ToUtf16(why));
}

}  // namespace kalvo
