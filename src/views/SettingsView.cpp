#include "views/SettingsView.h"

#include "captioning/TranscriptAutoSaver.h"
#include "views/DesktopOpener.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QStandardItemModel>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

QLabel *heading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

QHBoxLayout *valueRow(QLabel *title, QLabel *value)
{
    auto *row = new QHBoxLayout;
    row->addWidget(title);
    row->addStretch(1);
    value->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(value);
    return row;
}

QVBoxLayout *groupColumn(QGroupBox *box)
{
    auto *column = new QVBoxLayout(box);
    column->setSpacing(16);
    column->setContentsMargins(8, 8, 8, 8);
    return column;
}

} // namespace

SettingsView::SettingsView(AppSettings &settings, AudioSourceWatcher sources, QWidget *parent)
    : QWidget(parent), m_settings(settings), m_sourceWatcher(std::move(sources)), m_source(new QComboBox(this)),
      m_language(new QComboBox(this)), m_engine(new QComboBox(this)), m_currentLanguage(new QLabel(this)), m_fontSizeValue(new QLabel(this)),
      m_fontSize(new QSlider(Qt::Horizontal, this)), m_opacityValue(new QLabel(this)),
      m_opacity(new QSlider(Qt::Horizontal, this)), m_darkMode(new QCheckBox(tr("Dark Mode"), this)),
      m_keepTranscripts(new QCheckBox(tr("Keep Transcripts"), this)),
      m_showFolder(new QPushButton(tr("Show Folder"), this))
{
    setFixedSize(side, side + sourceHeight + transcriptsHeight + loginHeight + loginNoticeHeight + engineHeight);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(20);

    auto *title = new QLabel(tr("Settings"), this);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.4);
    titleFont.setBold(true);
    title->setFont(titleFont);
    column->addWidget(title);

    auto *languageBox = new QGroupBox(tr("Language"), this);
    auto *languageColumn = groupColumn(languageBox);
    auto *picker = new QVBoxLayout;
    picker->setSpacing(8);
    picker->addWidget(heading(tr("Speech Recognition Language:"), languageBox));
    // The label is the pop-up's buddy: screen readers name the pop-up after it.
    auto *menuRow = new QHBoxLayout;
    auto *menuLabel = new QLabel(tr("Select Language"), languageBox);
    menuLabel->setBuddy(m_language);
    menuRow->addWidget(menuLabel);
    m_language->setPlaceholderText(tr("Select Language"));
    menuRow->addWidget(m_language, 1);
    picker->addLayout(menuRow);
    languageColumn->addLayout(picker);
    languageColumn->addLayout(valueRow(new QLabel(tr("Current language:"), languageBox), m_currentLanguage));
    // Whisper where its model is installed; PocketSphinx is lighter on the processor but knows only US English
    // and makes far more mistakes.
    auto *engineRow = new QHBoxLayout;
    auto *engineLabel = new QLabel(tr("Recognition"), languageBox);
    engineLabel->setBuddy(m_engine);
    engineRow->addWidget(engineLabel);
    m_engine->addItem(tr("Accurate"), AppSettings::accurateEngine);
    m_engine->addItem(tr("Light (US English, uses less processor)"), AppSettings::lightEngine);
    engineRow->addWidget(m_engine, 1);
    languageColumn->addLayout(engineRow);
    column->addWidget(languageBox);

    auto *sourceBox = new QGroupBox(tr("Audio"), this);
    auto *sourceColumn = groupColumn(sourceBox);
    auto *sourceRow = new QHBoxLayout;
    auto *sourceLabel = new QLabel(tr("Audio Source"), sourceBox);
    sourceLabel->setBuddy(m_source);
    sourceRow->addWidget(sourceLabel);
    sourceRow->addWidget(m_source, 1);
    sourceColumn->addLayout(sourceRow);
    column->addWidget(sourceBox);

    auto *appearanceBox = new QGroupBox(tr("Appearance"), this);
    auto *appearanceColumn = groupColumn(appearanceBox);
    auto *fontColumn = new QVBoxLayout;
    fontColumn->setSpacing(8);
    fontColumn->addLayout(valueRow(new QLabel(tr("Font Size:"), appearanceBox), m_fontSizeValue));
    m_fontSize->setRange(fontSizeMinimum, fontSizeMaximum);
    m_fontSize->setSingleStep(1);
    m_fontSize->setPageStep(1);
    m_fontSize->setAccessibleName(tr("Font Size"));
    fontColumn->addWidget(m_fontSize);
    appearanceColumn->addLayout(fontColumn);
    auto *opacityColumn = new QVBoxLayout;
    opacityColumn->setSpacing(8);
    opacityColumn->addLayout(valueRow(new QLabel(tr("Background Opacity:"), appearanceBox), m_opacityValue));
    m_opacity->setRange(opacityMinimumTenths, opacityMaximumTenths);
    m_opacity->setSingleStep(1);
    m_opacity->setPageStep(1);
    m_opacity->setAccessibleName(tr("Background Opacity"));
    opacityColumn->addWidget(m_opacity);
    appearanceColumn->addLayout(opacityColumn);
    appearanceColumn->addWidget(m_darkMode);
    column->addWidget(appearanceBox);

    auto *transcriptsBox = new QGroupBox(tr("Transcripts"), this);
    auto *transcriptsRow = new QHBoxLayout(transcriptsBox);
    transcriptsRow->setContentsMargins(8, 8, 8, 8);
    m_keepTranscripts->setToolTip(TranscriptAutoSaver::defaultFolder());
    transcriptsRow->addWidget(m_keepTranscripts);
    transcriptsRow->addStretch(1);
    transcriptsRow->addWidget(m_showFolder);
    column->addWidget(transcriptsBox);
    m_startAtLogin = new QCheckBox(tr("Start at Login"), this);
    auto *loginColumn = new QVBoxLayout;
    loginColumn->setSpacing(4);
    loginColumn->addWidget(m_startAtLogin);
    m_loginNotice = new QLabel(this);
    m_loginNotice->setWordWrap(true);
    m_loginNotice->setForegroundRole(QPalette::PlaceholderText);
    m_loginNotice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_loginNotice->hide();
    loginColumn->addWidget(m_loginNotice);
    column->addLayout(loginColumn);
    column->addStretch(1);

    // valueChanged fires once per step while the thumb moves (tracking is on): each step is one write.
    connect(m_fontSize, &QSlider::valueChanged, this, [this](int value) {
        if (!m_refreshing)
            m_settings.setFontSize(double(value));
    });
    connect(m_opacity, &QSlider::valueChanged, this, [this](int tenths) {
        if (!m_refreshing)
            m_settings.setBackgroundOpacity(tenths / 10.0);
    });
    connect(m_darkMode, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_refreshing)
            m_settings.setDarkMode(on);
    });
    connect(m_keepTranscripts, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_refreshing)
            m_settings.setKeepTranscripts(on);
    });
    // The folder is made on the spot, so that there is something to show before the first transcript.
    connect(m_showFolder, &QPushButton::clicked, this, [this] {
        const QString folder = TranscriptAutoSaver::defaultFolder();
        if (!folder.isEmpty() && QDir().mkpath(folder))
            DesktopOpener::open(QUrl::fromLocalFile(folder), this);
    });
    connect(m_startAtLogin, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_refreshing)
            m_settings.setStartAtLogin(on);
    });
    connect(m_language, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < m_shownLanguages.size())
            m_settings.setSelectedLanguage(m_shownLanguages.at(index).code);
    });

    connect(m_engine, &QComboBox::activated, this, [this](int index) {
        if (index >= 0)
            m_settings.setRecognitionEngine(m_engine->itemData(index).toString());
    });
    connect(m_source, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < m_shownSources.size() && m_shownSources.at(index).source)
            m_settings.setAudioSource(*m_shownSources.at(index).source);
    });

    cancellables.push_back(m_settings.objectWillChange.subscribeOn(this, [this] { refresh(); }));
    refresh();
}

SettingsView::~SettingsView() = default;

QString SettingsView::fontSizeText(double fontSize)
{
    const double whole = std::trunc(fontSize);
    // Beyond a 64-bit integer (only extreme pinching gets there) the number is shown as it is.
    if (!std::isfinite(whole) || std::abs(whole) >= 9.2e18)
        return QString::number(fontSize, 'g', 6);
    return QString::number(static_cast<qlonglong>(whole));
}

QString SettingsView::opacityText(double opacity, const QLocale &locale)
{
    return locale.toString(opacity, 'f', 1);
}

QString SettingsView::currentLanguageText(const QString &selected, const QList<LanguageEntry> &languages)
{
    for (const auto &entry : languages) {
        if (entry.code == selected)
            return entry.name;
    }
    return selected;
}

void SettingsView::refresh()
{
    m_refreshing = true;
    const QString selected = m_settings.selectedLanguage();
    const QList<LanguageEntry> languages = m_settings.availableLanguages();
    if (languages != m_shownLanguages) {
        m_shownLanguages = languages;
        m_language->clear();
        for (const auto &entry : languages)
            m_language->addItem(entry.name, entry.code);
    }
    m_language->setCurrentIndex(m_language->findData(selected));
    m_currentLanguage->setText(currentLanguageText(selected, languages));
    m_engine->setCurrentIndex(m_engine->findData(m_settings.recognitionEngine()));

    const double fontSize = m_settings.fontSize();
    m_fontSizeValue->setText(fontSizeText(fontSize));
    if (std::isfinite(fontSize))
        m_fontSize->setValue(int(std::clamp(std::round(fontSize), double(fontSizeMinimum), double(fontSizeMaximum))));

    // A hand-edited value far outside the slider's range is shown at the nearest end, so that the window
    // keeps its size and the value can be set right from here; the store keeps it until the user does.
    const double opacity = m_settings.backgroundOpacity();
    const double shownOpacity = std::isfinite(opacity)
        ? std::clamp(opacity, opacityMinimumTenths / 10.0, opacityMaximumTenths / 10.0)
        : opacityMaximumTenths / 10.0;
    m_opacityValue->setText(opacityText(shownOpacity, QLocale()));
    m_opacity->setValue(int(std::round(shownOpacity * 10)));
    m_darkMode->setChecked(m_settings.darkMode());
    // The user's own entry starts Sonorel whatever the switch says, and Sonorel never changes it: the switch
    // shows that and waits until the entry is gone.
    const QString usersEntry = m_settings.usersOwnLoginEntry();
    m_startAtLogin->setChecked(m_settings.startAtLogin() || !usersEntry.isEmpty());
    m_startAtLogin->setEnabled(usersEntry.isEmpty());
    m_loginNotice->setText(usersEntry.isEmpty() ? QString() : loginNoticeText(usersEntry));
    m_loginNotice->setVisible(!usersEntry.isEmpty());
    fillSources();
    m_keepTranscripts->setChecked(m_settings.keepTranscripts());
    m_refreshing = false;
}

void SettingsView::fillSources()
{
    const QList<AudioSourceChoice> choices = audioSourceChoices(m_sourceContent, m_settings.audioSource());
    const auto sameEntries = [](const QList<AudioSourceChoice> &a, const QList<AudioSourceChoice> &b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
            [](const auto &x, const auto &y) { return x.label == y.label && x.source == y.source; });
    };
    // Rebuilt only when the entries change, so that a list the user has open stays put.
    if (!sameEntries(choices, m_shownSources)) {
        m_source->clear();
        auto *items = qobject_cast<QStandardItemModel *>(m_source->model());
        for (const AudioSourceChoice &choice : choices) {
            m_source->addItem(choice.iconName.isEmpty() ? QIcon() : QIcon::fromTheme(choice.iconName), choice.label);
            if (!choice.source && items) {
                QStandardItem *heading = items->item(m_source->count() - 1);
                heading->setFlags(heading->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
                QFont font = heading->font();
                font.setWeight(QFont::DemiBold);
                heading->setFont(font);
            }
        }
    }
    m_shownSources = choices;
    const auto current = std::find_if(choices.cbegin(), choices.cend(), [](const auto &c) { return c.isCurrent; });
    m_source->setCurrentIndex(current == choices.cend() ? -1 : int(current - choices.cbegin()));
}

void SettingsView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_sourceWatcher && !m_sourceWatch)
        m_sourceWatch = m_sourceWatcher([self = QPointer(this)](const AudioCaptureContent &content) {
            if (!self)
                return;
            self->m_sourceContent = content;
            self->m_refreshing = true;
            self->fillSources();
            self->m_refreshing = false;
        });
    refresh();
}

void SettingsView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_sourceWatch.reset();
}

QString SettingsView::currentLanguageLabel() const
{
    return m_currentLanguage->text();
}

QString SettingsView::loginNoticeText(const QString &usersEntry)
{
    // Home as "~", so that the path fits on the window's width.
    const QString home = QDir::homePath() + u'/';
    const QString shown = usersEntry.startsWith(home) ? QStringLiteral("~/") + usersEntry.mid(home.size()) : usersEntry;
    return tr("Your own login entry “%1” already starts Sonorel. Sonorel leaves it as it is.")
        .arg(QDir::toNativeSeparators(shown));
}

QString SettingsView::loginNotice() const
{
    return m_loginNotice->isVisibleTo(this) ? m_loginNotice->text() : QString();
}

QString SettingsView::fontSizeLabel() const
{
    return m_fontSizeValue->text();
}

QString SettingsView::opacityLabel() const
{
    return m_opacityValue->text();
}
