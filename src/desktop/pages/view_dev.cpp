#include "desktop/pages/view_dev.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "core/common/messages.h"
#include "core/common/pass_report.h"
#include "core/common/status_bar.h"
#include "core/common/text.h"
#include "core/engine/program.h"
#include "desktop/widgets/channel_diagram.h"
#include "desktop/widgets/property_grid.h"
#include "desktop/widgets/qt_text.h"

namespace kalvo {

CViewDev::CViewDev(Program& program, QWidget* parent) : QWidget(parent), program_(program) {
    setObjectName(QStringLiteral("DevicePage"));
    setWindowTitle(QStringLiteral("Установки"));
    BuildLayout();
    ShowPeriodAndFlags(program_.GetEngine().Period(), program_.GetEngine().Flags());
}

void CViewDev::BuildLayout() {
    // Measurement options: three check boxes, the period beside the first one.
    options_box_ = new QGroupBox(QStringLiteral("Параметры измерений"), this);
    write_file_ = new QCheckBox(QStringLiteral("Запись файла данных"), options_box_);
    measure_at_start_ = new QCheckBox(QStringLiteral("Измерять со старта"), options_box_);
    hide_to_tray_ = new QCheckBox(QStringLiteral("Прятать в трей на старте"), options_box_);
    period_ = new QLineEdit(options_box_);
    period_->setObjectName(QStringLiteral("Period"));
    period_->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), period_));
    period_->setMaxLength(5);
    period_->setAlignment(Qt::AlignRight);
    period_->setFixedWidth(period_->fontMetrics().horizontalAdvance(QStringLiteral("000")) + 14);
    period_->installEventFilter(this);

    struct Option {
        QCheckBox* box;
        uint16_t flag;
    };
    for (const Option& o :
         {Option{write_file_, kFlagWriteDataFile}, Option{measure_at_start_, kFlagMeasureAtStart},
          Option{hide_to_tray_, kFlagHideToTray}}) {
        connect(o.box, &QCheckBox::clicked, this, [this, flag = o.flag](bool checked) {
            program_.GetEngine().SetOption(flag, checked);
        });
    }

    auto* box_layout = new QGridLayout(options_box_);
    box_layout->setHorizontalSpacing(10);
    box_layout->setVerticalSpacing(4);
    box_layout->addWidget(write_file_, 0, 0);
    box_layout->addWidget(measure_at_start_, 1, 0);
    box_layout->addWidget(hide_to_tray_, 2, 0);
    box_layout->addWidget(period_, 0, 1);
    box_layout->addWidget(new QLabel(QStringLiteral("Период в сек."), options_box_), 0, 2);
    box_layout->setColumnStretch(3, 1);

    thermometer_view_ = new PropertyGrid(program_.Thermometers(), this);
    thermometer_view_->setObjectName(QStringLiteral("ThermometerGrid"));
    thermometer_view_->SetListBackground(kThermometerListColour);
    // The counters are copies the bus gives any thread; the row's serial names the sensor.
    thermometer_view_->SetRowTip([this](int row) {
        const RomCode code =
            RomFromText(program_.Thermometers().CellText(row, GridKalvo::kColSerial));
        return code ? HealthText(program_.Bus().HealthOf(code)) : std::u16string();
    });
    thermometer_view_->SetRowAlert(
        [this](int row) { return program_.Thermometers().RowAlarm(row) != AlarmKind::kOk; });
    switch_view_ = new PropertyGrid(program_.Switches(), this);
    switch_view_->SetCellTip([this](int row, int col) {
        for (int channel = 0; channel < 2; ++channel) {
            if (col >= GridSw::Col(channel, GridSw::kColNameA) &&
                col <= GridSw::Col(channel, GridSw::kColStateA))
                return HeldText(program_.Switches().HeldSeconds(row, channel));
        }
        return std::u16string();
    });
    switch_view_->setObjectName(QStringLiteral("SwitchGrid"));
    switch_view_->SetListBackground(kSwitchListColour);
    // A threshold that is not one never reaches the table: the cell keeps what runs now.
    switch_view_->SetEditCheck(
        [this](int row, int col, const std::u16string& typed) -> std::optional<std::u16string> {
            if (!GridSw::IsThresholdColumn(col)) return typed;
            GridSw::ThresholdEntry entry = program_.Switches().CheckThresholdEntry(row, col, typed);
            // The refusal stays until an entry is taken.
            if (status_bar_ && (!entry.text || refusal_shown_))
                status_bar_->SetPaneText(kPaneMain, entry.text ? u"" : entry.refusal);
            refusal_shown_ = !entry.text;
            return std::move(entry.text);
        });

    heater_ = new ChannelDiagram(ChannelDiagram::Kind::kHeater, this);
    cooler_ = new ChannelDiagram(ChannelDiagram::Kind::kCooler, this);

    rules_ = new QPushButton(QStringLiteral("Тревоги и поправки…"), this);
    rules_->setObjectName(QStringLiteral("RulesButton"));
    rules_->hide();
    connect(rules_, &QPushButton::clicked, this, [this] {
        if (open_rules_) open_rules_();
    });

    auto* top = new QHBoxLayout;
    top->addWidget(options_box_);
    top->addStretch(1);
    top->addWidget(rules_, 0, Qt::AlignBottom);

    auto* diagrams = new QHBoxLayout;
    diagrams->setSpacing(28);
    diagrams->addWidget(heater_);
    diagrams->addWidget(cooler_);
    diagrams->addStretch(1);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(12, 10, 12, 10);
    page->setSpacing(6);
    page->addLayout(top);
    page->addSpacing(4);
    page->addWidget(thermometer_view_, 1);
    page->addWidget(switch_view_, 1);
    page->addSpacing(10);
    page->addLayout(diagrams);
}

bool CViewDev::eventFilter(QObject* watched, QEvent* event) {
    if (watched == period_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            program_.GetEngine().OnPeriodEntered(FromQString(period_->text()));
            ShowRunningPeriod();
            return true;
        }
        if (key == Qt::Key_Escape) {
            ShowRunningPeriod();
            return true;
        }
    }
    // Only Enter changes the period; whatever else was typed goes when the edit is left, so the
    // box never shows a period that does not run. A window that merely loses the focus keeps
    // the typing for the user's return.
    if (watched == period_ && event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            ShowRunningPeriod();
    }
    return QWidget::eventFilter(watched, event);
}

std::u16string CViewDev::HealthText(const SensorHealth& h) {
    const auto line = [](std::u16string_view label, uint32_t count) {
        return std::u16string(label) + u": " + ToU16(int64_t(count)) + u"\n";
    };
    return line(u"Ошибки CRC", h.crc_failures) +
           line(u"Значения включения (85 °C)", h.power_on_values) +
           line(u"Недостаток питания (127,94 °C)", h.low_power_values) +
           line(u"Нет ответа", h.missing_answers) +
           line(u"Преобразование не закончилось", h.overran_conversions) +
           (h.stuck ? u"Завис: показания недействительны" : u"Завис: нет");
}

void CViewDev::SetRulesEditor(std::function<void()> open) {
    open_rules_ = std::move(open);
    rules_->setVisible(bool(open_rules_));
}

std::u16string CViewDev::HeldText(int seconds) {
    if (seconds <= 0) return {};
    return u"Защита компрессора: канал не переключится ещё " + ToU16(seconds) + u" с";
}

void CViewDev::ShowRunningPeriod() {
    const QString running = ToQString(ToU16(program_.GetEngine().Period()));
    if (period_->text() != running) period_->setText(running);
}

void CViewDev::ShowPeriodAndFlags(int period, uint16_t flags) {
    period_->setText(ToQString(ToU16(period)));
    // setChecked does not click: the engine is not told back what it just said.
    write_file_->setChecked(flags & kFlagWriteDataFile);
    measure_at_start_->setChecked(flags & kFlagMeasureAtStart);
    hide_to_tray_->setChecked(flags & kFlagHideToTray);
}

}  // namespace kalvo
