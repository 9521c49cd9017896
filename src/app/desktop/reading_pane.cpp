#include "app/desktop/reading_pane.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>
#include <set>

#include "app/core/mailbox/message_context.h"
#include "app/core/user_preferences.h"
#include "app/desktop/html_sanitizer.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/ui_text.h"
#include "platform/http_transport.h"
#include "platform/settings_store.h"
#include "safety/email_privacy_report.h"
#include "safety/email_privacy_report_service.h"
#include "store/database.h"
#include "store/message_lookup.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app::desktop {

namespace {

// Tinted bars above the body: a light tint with dark text in a light window, a deep tint with
// light text in a dark one, so that a bar never glares out of a dark window.
QString bar_style(const QWidget& widget, const char* selector, const char* light,
                  const char* lightText, const char* dark, const char* darkText) {
  const bool inDark = widget.palette().color(QPalette::Window).lightness() < 128;
  return QString("%1 { background: %2; color: %3; }")
      .arg(selector, inDark ? dark : light, inDark ? darkText : lightText);
}

// Senders whose remote images are always loaded (lower-case addresses).
constexpr std::string_view kImageSendersKey = "desktop.remoteImageSenders";
// Remote images fetched for one message, and the largest one kept.
constexpr int kMaxRemoteImages = 40;
constexpr size_t kMaxImageBytes = 5u << 20;

QString q(const std::string& s) { return QString::fromStdString(s); }
QString contact_text(const store::EmailContact& c) {
  if (c.name && !c.name->empty()) return q(*c.name) + " <" + q(c.email) + ">";
  return q(c.email);
}

QString contacts_text(const std::vector<store::EmailContact>& list) {
  QStringList parts;
  for (const auto& c : list) parts << contact_text(c);
  return parts.join(", ");
}

QLabel* bar_label(QWidget* parent, const char* objectName) {
  auto* label = new QLabel(parent);
  label->setObjectName(objectName);
  label->setWordWrap(true);
  label->setTextFormat(Qt::RichText);
  label->setContentsMargins(10, 6, 10, 6);
  label->hide();
  return label;
}

}  // namespace

MessageBodyView::MessageBodyView(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setFrameShape(QFrame::NoFrame);
  // Nothing is looked up on disk: relative names resolve to nothing.
  setSearchPaths({});
}

void MessageBodyView::set_image(const QUrl& url, const QByteArray& data) {
  QImage image;
  if (!image.loadFromData(data)) return;
  images_[url] = image;
  // Laid out again with the image in place, keeping the reader's place.
  const int position = verticalScrollBar()->value();
  QTextBrowser::setHtml(html_);
  verticalScrollBar()->setValue(position);
}

QVariant MessageBodyView::loadResource(int type, const QUrl& name) {
  if (type == QTextDocument::ImageResource) {
    if (auto it = images_.find(name); it != images_.end()) return *it;
    if (name.scheme() == QLatin1String("data")) {
      // data:image/...;base64,... is embedded in the message itself.
      const QString text = name.toString();
      const int comma = text.indexOf(',');
      if (comma > 0 && text.left(comma).endsWith(QLatin1String(";base64"))) {
        QImage image;
        if (image.loadFromData(QByteArray::fromBase64(text.mid(comma + 1).toLatin1())))
          return image;
      }
    }
  }
  return {};  // no file, no network
}

ReadingPane::ReadingPane(store::EmailDatabase& database, UserPreferences& preferences,
                         QWidget* parent)
    : QWidget(parent), database_(database), preferences_(preferences) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  header_ = new QWidget(this);
  auto* headerLayout = new QVBoxLayout(header_);
  headerLayout->setContentsMargins(16, 12, 16, 8);
  headerLayout->setSpacing(4);
  subject_ = new QLabel(header_);
  subject_->setObjectName("subject");
  subject_->setWordWrap(true);
  subject_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QFont subjectFont = subject_->font();
  subjectFont.setPointSizeF(subjectFont.pointSizeF() * 1.35);
  subjectFont.setBold(true);
  subject_->setFont(subjectFont);
  meta_ = new QLabel(header_);
  meta_->setWordWrap(true);
  meta_->setTextFormat(Qt::RichText);
  meta_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  tags_ = new QLabel(header_);
  tags_->setTextFormat(Qt::RichText);
  translateButton_ = new QPushButton(ui_text("desktop.translate"), header_);
  translateButton_->setObjectName("translateButton");
  translateButton_->setToolTip(ui_text("desktop.translate.tip"));
  connect(translateButton_, &QPushButton::clicked, this, [this] {
    if (translator_.state() == MessageTranslator::State::translated)
      show_original();
    else
      translate();
  });
  auto* tagsRow = new QHBoxLayout();
  tagsRow->addWidget(tags_, 1);
  tagsRow->addWidget(translateButton_, 0, Qt::AlignRight);
  headerLayout->addWidget(subject_);
  headerLayout->addWidget(meta_);
  headerLayout->addLayout(tagsRow);
  layout->addWidget(header_);

  privacy_ = bar_label(this, "privacyBar");
  layout->addWidget(privacy_);

  imagesBar_ = new QWidget(this);
  imagesBar_->setObjectName("imagesBar");
  imagesBar_->setAutoFillBackground(true);
  auto* imagesLayout = new QHBoxLayout(imagesBar_);
  imagesLayout->setContentsMargins(10, 4, 10, 4);
  imagesText_ = new QLabel(imagesBar_);
  auto* loadOnce = new QPushButton(ui_text("desktop.images.load_once"), imagesBar_);
  auto* always = new QPushButton(ui_text("desktop.images.always"), imagesBar_);
  loadOnce->setObjectName("loadImagesOnce");
  always->setObjectName("alwaysLoadImages");
  imagesLayout->addWidget(imagesText_, 1);
  imagesLayout->addWidget(loadOnce);
  imagesLayout->addWidget(always);
  imagesBar_->hide();
  connect(loadOnce, &QPushButton::clicked, this, [this] { load_images_once(); });
  connect(always, &QPushButton::clicked, this, [this] { always_load_images_from_sender(); });
  layout->addWidget(imagesBar_);

  translationBar_ = new QWidget(this);
  translationBar_->setObjectName("translationBar");
  translationBar_->setAutoFillBackground(true);
  auto* translationLayout = new QHBoxLayout(translationBar_);
  translationLayout->setContentsMargins(10, 4, 10, 4);
  translationText_ = new QLabel(translationBar_);
  translationText_->setWordWrap(true);
  translationText_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  translationBack_ = new QPushButton(ui_text("desktop.translate.original"), translationBar_);
  translationBack_->setObjectName("showOriginal");
  translationLayout->addWidget(translationText_, 1);
  translationLayout->addWidget(translationBack_);
  translationBar_->hide();
  connect(translationBack_, &QPushButton::clicked, this, [this] { show_original(); });
  layout->addWidget(translationBar_);
  translator_.onChanged = [this] {
    update_translation_bar();
    if (message_) render();
  };

  summary_ = bar_label(this, "aiSummary");
  layout->addWidget(summary_);
  note_ = bar_label(this, "internalNote");
  layout->addWidget(note_);

  attachments_ = new QWidget(this);
  attachmentsLayout_ = new QHBoxLayout(attachments_);
  attachmentsLayout_->setContentsMargins(14, 4, 14, 4);
  attachments_->hide();
  layout->addWidget(attachments_);

  body_ = new MessageBodyView(this);
  body_->setObjectName("body");
  layout->addWidget(body_, 1);
  connect(body_, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
    if (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https") ||
        url.scheme() == QLatin1String("mailto"))
      QDesktopServices::openUrl(url);
  });
  connect(body_, qOverload<const QUrl&>(&QTextBrowser::highlighted), this, [this](const QUrl& url) {
    if (onLinkHovered) onLinkHovered(url.toString());
  });

  empty_ = new QLabel(ui_text("desktop.reading.empty"), this);
  empty_->setAlignment(Qt::AlignCenter);
  empty_->setEnabled(false);
  layout->addWidget(empty_, 1);
  clear();
}

ReadingPane::~ReadingPane() { *alive_ = false; }

void ReadingPane::clear() {
  message_.reset();
  translator_.forget();
  translationBar_->hide();
  ++generation_;
  for (QWidget* w :
       {header_, static_cast<QWidget*>(privacy_), imagesBar_, static_cast<QWidget*>(summary_),
        static_cast<QWidget*>(note_), attachments_, static_cast<QWidget*>(body_)})
    w->hide();
  empty_->show();
}

void ReadingPane::show_message(const std::string& id) {
  auto message =
      database_.read([&](store::Connection& c) { return store::read_stored_message(c, id); });
  if (!message) return clear();
  const bool same = message_ && message_->id == message->id;
  message_ = std::move(message);
  if (!same) {
    imagesAllowedOnce_ = false;
    translator_.forget();
    update_translation_bar();
  }
  render();
}

void ReadingPane::apply_settings() {
  if (message_) render();
}

QString ReadingPane::privacy_text() const {
  return privacy_->isHidden() ? QString() : privacy_->text();
}
QString ReadingPane::images_bar_text() const {
  return imagesBar_->isHidden() ? QString() : imagesText_->text();
}
QString ReadingPane::body_html() const { return body_->toHtml(); }

void ReadingPane::load_images_once() {
  imagesAllowedOnce_ = true;
  render();
}

void ReadingPane::always_load_images_from_sender() {
  if (!message_) return;
  auto& settings = preferences_.defaults();
  auto senders = settings.string_list(kImageSendersKey).value_or(std::vector<std::string>{});
  const std::string sender = text::lower(message_->from.email);
  if (std::find(senders.begin(), senders.end(), sender) == senders.end()) {
    senders.push_back(sender);
    settings.set(kImageSendersKey, Json(senders));
  }
  load_images_once();
}

void ReadingPane::render() {
  const store::EmailMessage& m = *message_;
  ++generation_;
  empty_->hide();
  header_->show();
  body_->show();
  const QPalette palette = this->palette();

  subject_->setText(m.subject.empty() ? ui_text("desktop.no_subject") : q(m.subject));
  QString meta = "<b>" + contact_text(m.from).toHtmlEscaped() + "</b>";
  meta += "<br><span style='color: palette(mid)'>" + ui_text("desktop.header.to").toHtmlEscaped() +
          " " + contacts_text(m.to).toHtmlEscaped();
  if (!m.cc.empty())
    meta += " &nbsp; " + ui_text("desktop.header.cc").toHtmlEscaped() + " " +
            contacts_text(m.cc).toHtmlEscaped();
  const QDateTime when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(m.date));
  meta += "<br>" +
          QLocale()
              .toString(when, text_language() == TextLanguage::chinese
                                  ? QStringLiteral("yyyy年M月d日 dddd HH:mm")
                                  : QStringLiteral("dddd, MMMM d, yyyy, HH:mm"))
              .toHtmlEscaped() +
          "</span>";
  meta_->setText(meta);

  // Tags (user and AI) and the AI's priority.
  QString chips;
  if (preferences_.get(settings::featureTagSystemEnabled)) {
    std::vector<std::string> all = m.tags;
    for (const auto& t : m.aiTags)
      if (std::find(all.begin(), all.end(), t) == all.end()) all.push_back(t);
    for (const auto& t : all)
      chips += "<span style='background-color: palette(midlight)'>&nbsp;" + q(t).toHtmlEscaped() +
               "&nbsp;</span> ";
  }
  if (m.aiPriority == store::EmailPriority::high || m.aiPriority == store::EmailPriority::urgent)
    chips += "<span style='background-color:#d93f3f; color:white'>&nbsp;" +
             ui_text(m.aiPriority == store::EmailPriority::urgent ? "desktop.priority.urgent"
                                                                  : "desktop.priority.high") +
             "&nbsp;</span>";
  tags_->setText(chips);
  tags_->setVisible(!chips.isEmpty());

  // The privacy report, above the body.
  const auto report = safety::EmailPrivacyReportService::report(m);
  QStringList findings;
  if (report.trackerCount > 0)
    findings << q(localized_format("desktop.privacy.trackers", report.trackerCount));
  for (const auto& link : report.suspiciousLinks)
    findings << q(localized_format("desktop.privacy.link", safety::localized_reason(link.reason),
                                   link.url))
                    .toHtmlEscaped();
  if (report.senderTrust.status != safety::SenderTrustCheck::Status::clean)
    findings << q(report.senderTrust.message()).toHtmlEscaped();
  for (const auto& hit : report.injection)
    findings << q(localized_format("desktop.privacy.injection", safety::localized_label(hit.kind)))
                    .toHtmlEscaped();
  const bool warning = !report.suspiciousLinks.empty() || !report.injection.empty() ||
                       report.senderTrust.status != safety::SenderTrustCheck::Status::clean;
  privacy_->setStyleSheet(
      warning ? bar_style(*this, "QLabel#privacyBar", "#fbe3e1", "#6b1d17", "#4a2321", "#f6cfcb")
              : bar_style(*this, "QLabel#privacyBar", "#e3eefb", "#17365d", "#22344d", "#d3e3f8"));
  privacy_->setText((warning ? "⚠ " : "") + findings.join(" · "));
  privacy_->setVisible(!findings.isEmpty());

  // AI summary and action items.
  QString ai;
  if (m.aiSummary && !m.aiSummary->empty())
    ai += "<b>" + ui_text("desktop.ai.summary") + "</b> " + q(*m.aiSummary).toHtmlEscaped();
  if (preferences_.get(settings::featureActionItemsEnabled) && !m.aiActionItems.empty()) {
    ai +=
        (ai.isEmpty() ? "" : "<br>") + QString("<b>") + ui_text("desktop.ai.action_items") + "</b>";
    for (const auto& item : m.aiActionItems) ai += "<br>☐ " + q(item).toHtmlEscaped();
  }
  summary_->setStyleSheet("QLabel#aiSummary { background: palette(alternate-base); }");
  summary_->setText(ai);
  summary_->setVisible(!ai.isEmpty());

  const bool notes = preferences_.get(settings::featureInternalNotesEnabled);
  note_->setStyleSheet(
      bar_style(*this, "QLabel#internalNote", "#fff4c2", "#4d3b00", "#4a4020", "#f3e6b3"));
  note_->setText(m.internalNote ? "✎ <b>" + ui_text("desktop.note") + "</b> " +
                                      q(*m.internalNote).toHtmlEscaped()
                                : QString());
  note_->setVisible(notes && m.internalNote && !m.internalNote->empty());

  // Attachments: a click opens one with the desktop's application, its menu saves it.
  while (QLayoutItem* item = attachmentsLayout_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  int shownAttachments = 0;
  if (preferences_.get(settings::emailShowAttachments)) {
    for (const auto& a : m.attachments) {
      if (a.isInline) continue;
      auto* button = new QToolButton(attachments_);
      button->setObjectName("attachment");
      button->setText(q(a.filename) + " (" + QLocale().formattedDataSize(a.size) + ")");
      button->setIcon(style()->standardIcon(QStyle::SP_FileIcon));
      button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
      button->setPopupMode(QToolButton::MenuButtonPopup);
      button->setToolTip(ui_text("desktop.attachment.open"));
      const QString name = q(a.filename);
      auto* menu = new QMenu(button);
      menu->addAction(ui_text("desktop.attachment.open"), this,
                      [this, name] { open_attachment(name); });
      menu->addAction(ui_text("desktop.attachment.save"), this, [this, name] {
        const QString target = QFileDialog::getSaveFileName(
            this, ui_text("desktop.attachment.save"),
            QDir::home().filePath(q(safe_file_name(name.toStdString()))));
        if (!target.isEmpty()) save_attachment_as(name, target);
      });
      button->setMenu(menu);
      connect(button, &QToolButton::clicked, this, [this, name] { open_attachment(name); });
      attachmentsLayout_->addWidget(button);
      ++shownAttachments;
    }
  }
  attachmentsLayout_->addStretch(1);
  attachments_->setVisible(shownAttachments > 0);

  // The body, sanitised; remote images as the settings and the user say.
  const auto senders =
      preferences_.defaults().string_list(kImageSendersKey).value_or(std::vector<std::string>{});
  const bool senderAllowed =
      std::find(senders.begin(), senders.end(), text::lower(m.from.email)) != senders.end();
  HtmlSanitizer::Options options;
  options.remoteImages =
      (preferences_.get(settings::emailShowImages) || imagesAllowedOnce_ || senderAllowed)
          ? HtmlSanitizer::RemoteImages::allow
          : HtmlSanitizer::RemoteImages::block;
  std::string html;
  int blocked = 0;
  const bool compact = preferences_.get(settings::emailCompactBlankLines);
  const bool translated = translator_.state() == MessageTranslator::State::translated &&
                          translator_.message_id() == m.id;
  if (translated) {
    html = translator_.html().toStdString();  // sanitised, remote images left out
  } else if (m.htmlBody && !text::trim(*m.htmlBody).empty()) {
    auto result = HtmlSanitizer::sanitize(*m.htmlBody, options);
    html = std::move(result.html);
    blocked = result.blockedRemoteImages;
  } else {
    html = HtmlSanitizer::plain_text_html(m.textBody.value_or(m.preview), compact);
  }
  imagesText_->setText(q(localized_format("desktop.images.blocked", blocked)));
  imagesBar_->setStyleSheet(
      bar_style(*this, "QWidget#imagesBar", "#fff4d6", "#4d3b00", "#4a4020", "#f3e6b3") +
      bar_style(*this, "QLabel", "transparent", "#4d3b00", "transparent", "#f3e6b3"));
  imagesBar_->setVisible(blocked > 0);

  // Reading theme, size and line spacing.
  QColor background = palette.color(QPalette::Base), foreground = palette.color(QPalette::Text);
  switch (preferences_.get(settings::emailReadingThemeMode)) {
    case EmailReadingThemeMode::automatic:
      break;
    case EmailReadingThemeMode::classic:
      background = Qt::white;
      foreground = QColor(0x20, 0x20, 0x20);
      break;
    case EmailReadingThemeMode::dark:
      background = QColor(0x1e, 0x1f, 0x22);
      foreground = QColor(0xdd, 0xdd, 0xdd);
      break;
    case EmailReadingThemeMode::warmPaper:
      background = QColor(0xf6, 0xef, 0xdc);
      foreground = QColor(0x3b, 0x32, 0x24);
      break;
    case EmailReadingThemeMode::eyeCare:
      background = QColor(0xdc, 0xec, 0xd5);
      foreground = QColor(0x22, 0x33, 0x22);
      break;
  }
  QPalette bodyPalette = body_->palette();
  bodyPalette.setColor(QPalette::Base, background);
  bodyPalette.setColor(QPalette::Text, foreground);
  body_->setPalette(bodyPalette);
  QFont font = body_->font();
  font.setPointSize(static_cast<int>(preferences_.reading_font_size()) * 3 / 4);  // CSS px to pt
  body_->document()->setDefaultFont(font);
  const char* spacing = "1.35";
  switch (preferences_.get(settings::emailReadingLineSpacing)) {
    case EmailLineSpacing::compact:
      spacing = "1.15";
      break;
    case EmailLineSpacing::normal:
      break;
    case EmailLineSpacing::relaxed:
      spacing = "1.7";
      break;
  }
  body_->document()->setDefaultStyleSheet(
      QString("body { color: %1; } p, div, li, td { line-height: %2; } a { color: %3; } "
              "blockquote { color: #6b7785; margin-left: 8px; }")
          .arg(foreground.name(), QString::number(std::stod(spacing) * 100) + "%",
               palette.color(QPalette::Link).name()));
  body_->document()->setDocumentMargin(16);
  body_->clear_images();
  body_->show_html(q(html));
  if (options.remoteImages == HtmlSanitizer::RemoteImages::allow) fetch_remote_images(html);
}

void ReadingPane::translate() {
  if (message_) translator_.translate(message_->id);
}

void ReadingPane::show_original() { translator_.show_original(); }

QString ReadingPane::translation_text() const {
  return translationBar_->isHidden() ? QString() : translationText_->text();
}

void ReadingPane::update_translation_bar() {
  using State = MessageTranslator::State;
  const State state = translator_.state();
  translateButton_->setText(
      ui_text(state == State::translated ? "desktop.translate.original" : "desktop.translate"));
  translateButton_->setEnabled(state != State::working);
  translationBack_->setVisible(state == State::translated);
  const bool failed = state == State::failed;
  translationBar_->setStyleSheet(
      failed
          ? bar_style(*this, "QWidget#translationBar", "#fbe3e1", "#6b1d17", "#4a2321", "#f6cfcb") +
                bar_style(*this, "QLabel", "transparent", "#6b1d17", "transparent", "#f6cfcb")
          : bar_style(*this, "QWidget#translationBar", "#e3eefb", "#17365d", "#22344d", "#d3e3f8") +
                bar_style(*this, "QLabel", "transparent", "#17365d", "transparent", "#d3e3f8"));
  QString text;
  switch (state) {
    case State::original:
      break;
    case State::working:
      text = ui_text("desktop.translate.working");
      break;
    case State::translated:
      text = q(localized_format(
          translator_.cached() ? "desktop.translate.done_cached" : "desktop.translate.done",
          translator_.language().toStdString()));
      break;
    case State::failed: {
      using Failure = MessageTranslator::Failure;
      std::string_view key = "desktop.translate.failed";
      switch (translator_.failure().value_or(Failure::provider)) {
        case Failure::privacy:
          key = "desktop.translate.refused";
          break;
        case Failure::configuration:
          key = "desktop.translate.no_profile";
          break;
        case Failure::empty:
        case Failure::provider:
          break;
      }
      text = q(localized_format(key, translator_.error().toStdString()));
      break;
    }
  }
  translationText_->setText(text);
  translationBar_->setVisible(!text.isEmpty());
}

void ReadingPane::status(const QString& text) {
  if (onStatus) onStatus(text);
}

void ReadingPane::write_attachment(const QString& name, const QString& target,
                                   std::function<void(const QString& file)> done) {
  if (!message_) return;
  const std::string id = message_->id;
  std::weak_ptr<bool> alive = alive_;
  QThreadPool::globalInstance()->start(
      [this, alive, id, name = name.toStdString(), target = target.toStdString(), done] {
        QString file, error;
        try {
          auto context = context_for(id);
          file = QString::fromStdString(save_attachment(*context, attachment_named(*context, name),
                                                        target, ExistingFile::replace)
                                            .path.string());
        } catch (const std::exception& e) {
          error = QString::fromStdString(
              localized_format("desktop.attachment.failed", name, std::string(e.what())));
        }
        QMetaObject::invokeMethod(
            qApp,
            [this, alive, file, error, done] {
              if (!alive.lock()) return;
              if (!error.isEmpty()) status(error);
              done(file);
            },
            Qt::QueuedConnection);
      });
}

void ReadingPane::open_attachment(const QString& name) {
  if (!opened_) {
    opened_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/kestrova-XXXXXX");
    if (!opened_->isValid()) {
      opened_.reset();
      return status(q(localized_format("desktop.attachment.failed", name.toStdString(),
                                       QDir::tempPath().toStdString())));
    }
    std::error_code ignored;
    std::filesystem::permissions(opened_->path().toStdString(), std::filesystem::perms::owner_all,
                                 ignored);
  }
  // One folder per open, so that two attachments of the same name never meet.
  QDir folder(opened_->path());
  const QString sub = QString::number(++openedCount_);
  folder.mkdir(sub);
  std::error_code ignored;
  std::filesystem::permissions(folder.filePath(sub).toStdString(),
                               std::filesystem::perms::owner_all, ignored);
  write_attachment(name, folder.filePath(sub), [this](const QString& file) {
    if (file.isEmpty()) return;
    const QUrl url = QUrl::fromLocalFile(file);
    const bool opened = openFile ? openFile(url) : QDesktopServices::openUrl(url);
    if (!opened)
      status(q(localized_format("desktop.attachment.no_application", file.toStdString())));
  });
}

void ReadingPane::save_attachment_as(const QString& name, const QString& target) {
  write_attachment(name, target, [this](const QString& file) {
    if (!file.isEmpty())
      status(q(localized_format("desktop.attachment.saved", file.toStdString())));
  });
}

// Fetches the remote images of the sanitised body (trackers already taken out) with
// Kestrova's HTTP client, on the thread pool, and hands each to the view.
void ReadingPane::fetch_remote_images(const std::string& html) {
  std::set<std::string> urls;
  for (size_t at = html.find("<img src=\"");
       at != std::string::npos && urls.size() < kMaxRemoteImages;
       at = html.find("<img src=\"", at + 1)) {
    const size_t start = at + 10;
    const size_t end = html.find('"', start);
    if (end == std::string::npos) break;
    std::string url = html.substr(start, end - start);
    for (size_t amp; (amp = url.find("&amp;")) != std::string::npos;) url.replace(amp, 5, "&");
    if (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) urls.insert(url);
  }
  const int generation = generation_;
  QPointer<ReadingPane> self(this);
  for (const auto& url : urls) {
    QThreadPool::globalInstance()->start([self, url, generation] {
      QByteArray data;
      try {
        platform::HttpTransport http;
        platform::HttpRequest request;
        request.method = "GET";
        request.url = url;
        request.timeout = 15;
        const auto response = http.perform(request);
        if (response.status / 100 != 2 || response.body.size() > kMaxImageBytes) return;
        data = QByteArray::fromStdString(response.body);
      } catch (const std::exception&) {
        return;
      }
      QMetaObject::invokeMethod(
          qApp,
          [self, url, data, generation] {
            if (!self || self->generation_ != generation) return;
            self->body_->set_image(QUrl(QString::fromStdString(url)), data);
          },
          Qt::QueuedConnection);
    });
  }
}

}  // namespace kestrova::app::desktop
