#include "app/desktop/message_list_model.h"

#include <QApplication>
#include <QDateTime>
#include <QLocale>
#include <QPainter>
#include <QPainterPath>

#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {

MessageListModel::MessageListModel(store::EmailDatabase& database, QObject* parent)
    : QAbstractListModel(parent),
      database_(database),
      list_(std::make_unique<ConversationList>(database, MailboxSelection{}, group_,
                                               now_seconds())) {}

void MessageListModel::show(const MailboxSelection& selection) {
  beginResetModel();
  list_ = std::make_unique<ConversationList>(database_, selection, group_, now_seconds());
  endResetModel();
}

void MessageListModel::set_group_conversations(bool group) {
  group_ = group;
  show(selection());
}

void MessageListModel::refresh() {
  beginResetModel();
  try {
    list_->refresh(now_seconds());
  } catch (const std::exception&) {
    // A search the language cannot read lists nothing (rowCount reports it).
  }
  endResetModel();
}

const MessageSummary* MessageListModel::summary(int row) const { return list_->at(row).message; }

ConversationList::Row MessageListModel::row_info(int row) const { return list_->at(row); }

std::optional<int> MessageListModel::row_of(const std::string& messageId) const {
  auto row = list_->row_of(messageId);
  if (!row) return std::nullopt;
  return static_cast<int>(*row);
}

bool MessageListModel::open(int row) {
  auto opening = list_->prepare_open(row);
  if (!opening) return false;
  const int added = static_cast<int>(opening->messages.size());
  beginInsertRows({}, row + 1, row + added);
  list_->open(std::move(*opening));
  endInsertRows();
  // The conversation's row draws its open mark.
  emit dataChanged(index(row), index(row));
  return true;
}

std::optional<int> MessageListModel::close(int row) {
  const auto closing = list_->prepare_close(row);
  if (!closing) return std::nullopt;
  const int head = static_cast<int>(closing->row);
  beginRemoveRows({}, head + 1, head + closing->removed);
  list_->close(*closing);
  endRemoveRows();
  emit dataChanged(index(head), index(head));
  return head;
}

std::vector<std::string> MessageListModel::messages_of(int row) const {
  return list_->messages_of(row);
}

int MessageListModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  try {
    return static_cast<int>(std::min<int64_t>(list_->count(), INT32_MAX));
  } catch (const std::exception&) {
    return 0;  // a search the language cannot read lists nothing
  }
}

bool MessageListModel::canFetchMore(const QModelIndex& parent) const {
  auto& pager = list_->pager();
  if (parent.isValid() || !pager.open_ended()) return false;
  try {
    return pager.has_more();
  } catch (const std::exception&) {
    return false;
  }
}

void MessageListModel::fetchMore(const QModelIndex& parent) {
  if (parent.isValid()) return;
  // Further results come after every row shown, the open conversations' messages included.
  const int64_t shown = list_->count();
  bool inserting = false;
  list_->pager().fetch_more([&](int64_t first, int64_t last) {
    beginInsertRows({}, static_cast<int>(shown), static_cast<int>(shown + last - first));
    inserting = true;
  });
  if (inserting) endInsertRows();
}

QVariant MessageListModel::data(const QModelIndex& index, int role) const {
  const MessageSummary* m = summary(index.row());
  if (!m) return {};
  if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
    return QString::fromStdString(m->subject);
  if (role == Qt::ToolTipRole)
    return QString::fromStdString(m->fromName.empty() ? m->fromEmail
                                                      : m->fromName + " <" + m->fromEmail + ">");
  return {};
}

QString MessageListDelegate::list_date(double seconds) {
  const QDateTime when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds));
  const QDate today = QDate::currentDate();
  const QLocale locale = QLocale();
  if (when.date() == today) return locale.toString(when.time(), QLocale::ShortFormat);
  if (when.date().year() == today.year())
    return locale.toString(when.date(), text_language() == TextLanguage::chinese
                                            ? QStringLiteral("M月d日")
                                            : QStringLiteral("MMM d"));
  return locale.toString(when.date(), QLocale::ShortFormat);
}

QSize MessageListDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
  const int line = option.fontMetrics.lineSpacing();
  return {200, line * 3 + line / 2 + 8};
}

namespace {

QColor mix(const QColor& a, const QColor& b, double t) {
  return QColor::fromRgbF(a.redF() * (1 - t) + b.redF() * t, a.greenF() * (1 - t) + b.greenF() * t,
                          a.blueF() * (1 - t) + b.blueF() * t);
}

// A small rounded label; returns its width.
int draw_chip(QPainter* p, int x, int baselineTop, int height, const QString& text,
              const QColor& background, const QColor& foreground, const QFont& font) {
  QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(text) + 10;
  QPainterPath path;
  path.addRoundedRect(QRectF(x, baselineTop, width, height), height / 2.0, height / 2.0);
  p->fillPath(path, background);
  p->setPen(foreground);
  p->setFont(font);
  p->drawText(QRect(x, baselineTop, width, height), Qt::AlignCenter, text);
  return width;
}

}  // namespace

void MessageListDelegate::paint(QPainter* p, const QStyleOptionViewItem& option,
                                const QModelIndex& index) const {
  const auto* model = static_cast<const MessageListModel*>(index.model());
  const ConversationList::Row row = model->row_info(index.row());
  const MessageSummary* m = row.message;
  if (!m) return;
  p->save();
  p->setRenderHint(QPainter::Antialiasing);
  const QPalette& palette = option.palette;
  const bool selected = option.state & QStyle::State_Selected;
  const bool focused =
      option.state & QStyle::State_HasFocus || (option.widget && option.widget->hasFocus());
  QColor background = palette.color(QPalette::Base);
  if (selected)
    background = focused
                     ? palette.color(QPalette::Highlight)
                     : mix(palette.color(QPalette::Base), palette.color(QPalette::Highlight), 0.35);
  p->fillRect(option.rect, background);
  const QColor text = selected && focused ? palette.color(QPalette::HighlightedText)
                                          : palette.color(QPalette::Text);
  const QColor dim = mix(text, background, 0.42);
  const QColor accent = selected && focused ? text : palette.color(QPalette::Highlight);

  const int indent = row.child >= 0 ? kChildIndent : 0;
  const QRect r = option.rect.adjusted(kMarginWidth + indent, 5, -10, -4);
  const int line = option.fontMetrics.lineSpacing();
  if (row.child >= 0) {
    // A conversation's older message: a guide line down the margin ties it to its row.
    p->setPen(QPen(mix(background, dim, 0.6), 2));
    p->drawLine(QPointF(option.rect.left() + 11, option.rect.top()),
                QPointF(option.rect.left() + 11, option.rect.bottom()));
  }
  if (row.opens) {
    // The open mark: a triangle pointing right when closed, down when open.
    const double cx = option.rect.left() + 11, cy = r.top() + line * 1.5 + 1, s = 4.5;
    QPainterPath mark;
    if (row.open) {
      mark.moveTo(cx - s, cy - s / 2);
      mark.lineTo(cx + s, cy - s / 2);
      mark.lineTo(cx, cy + s / 1.2);
    } else {
      mark.moveTo(cx - s / 2, cy - s);
      mark.lineTo(cx - s / 2, cy + s);
      mark.lineTo(cx + s / 1.2, cy);
    }
    mark.closeSubpath();
    p->fillPath(mark, dim);
  }
  QFont regular = option.font;
  QFont bold = option.font;
  bold.setBold(true);
  QFont small = option.font;
  small.setPointSizeF(option.font.pointSizeF() * 0.85);

  if (!m->isRead) {
    p->setPen(Qt::NoPen);
    p->setBrush(accent);
    p->drawEllipse(QPointF(r.left() - 11, r.top() + line / 2.0), 4, 4);
  }

  // Line 1: sender, marks and date.
  const QString date = list_date(m->date);
  p->setFont(small);
  const int dateWidth = QFontMetrics(small).horizontalAdvance(date);
  p->setPen(dim);
  p->drawText(QRect(r.right() - dateWidth, r.top(), dateWidth, line),
              Qt::AlignRight | Qt::AlignVCenter, date);
  int right = r.right() - dateWidth - 6;
  if (m->isStarred) {
    p->setFont(regular);
    p->setPen(QColor(0xE8, 0xA3, 0x17));
    const int w = option.fontMetrics.horizontalAdvance(QStringLiteral("★"));
    p->drawText(QRect(right - w, r.top(), w, line), Qt::AlignVCenter, QStringLiteral("★"));
    right -= w + 4;
  }
  if (m->hasAttachments) {
    // A paper clip: two nested rounded loops.
    const double h = line * 0.72, w = h * 0.42;
    const QRectF clip(right - w - 1, r.top() + (line - h) / 2, w, h);
    p->setPen(QPen(dim, 1.3));
    p->setBrush(Qt::NoBrush);
    p->drawRoundedRect(clip, w / 2, w / 2);
    p->drawRoundedRect(clip.adjusted(w * 0.25, h * 0.22, -w * 0.25, -h * 0.05), w / 4, w / 4);
    right -= static_cast<int>(w) + 6;
  }
  const QString sender = QString::fromStdString(m->fromName.empty() ? m->fromEmail : m->fromName);
  p->setFont(m->isRead ? regular : bold);
  p->setPen(text);
  QFontMetrics senderMetrics(p->font());
  p->drawText(QRect(r.left(), r.top(), right - r.left(), line), Qt::AlignVCenter,
              senderMetrics.elidedText(sender, Qt::ElideRight, right - r.left()));

  // Line 2: subject, conversation size, folder (views and searches) and the AI's priority.
  int x = r.left();
  const int top2 = r.top() + line + 1;
  const int chipHeight = QFontMetrics(small).height() + 2;
  int subjectRight = r.right();
  if (m->aiPriority == store::EmailPriority::high ||
      m->aiPriority == store::EmailPriority::urgent) {
    const QString label = QString::fromStdString(
        localized(m->aiPriority == store::EmailPriority::urgent ? "desktop.priority.urgent"
                                                                : "desktop.priority.high"));
    const int w = QFontMetrics(small).horizontalAdvance(label) + 10;
    draw_chip(p, r.right() - w, top2 + (line - chipHeight) / 2, chipHeight, label,
              QColor(0xD9, 0x3F, 0x3F), Qt::white, small);
    subjectRight -= w + 6;
  }
  QString subject = QString::fromStdString(m->subject);
  if (subject.isEmpty()) subject = QString::fromStdString(localized("desktop.no_subject"));
  if (row.opens) {
    const QString count = QString::number(m->threadSize);
    const int w = QFontMetrics(small).horizontalAdvance(count) + 10;
    draw_chip(p, subjectRight - w, top2 + (line - chipHeight) / 2, chipHeight, count,
              mix(background, dim, 0.3), text, small);
    subjectRight -= w + 6;
  }
  p->setFont(m->isRead ? regular : bold);
  p->setPen(text);
  QFontMetrics subjectMetrics(p->font());
  p->drawText(QRect(x, top2, subjectRight - x, line), Qt::AlignVCenter,
              subjectMetrics.elidedText(subject, Qt::ElideRight, subjectRight - x));

  // Line 3: tags as chips, the folder when the list spans folders, then the preview.
  const int top3 = top2 + line + 1;
  x = r.left();
  const auto kind = model->selection().kind;
  if (!m->folderName.empty() && kind != MailboxSelection::Kind::folder &&
      kind != MailboxSelection::Kind::unifiedInbox) {
    x += draw_chip(p, x, top3 + (line - chipHeight) / 2, chipHeight,
                   QString::fromStdString(m->folderName), mix(background, dim, 0.22), text, small) +
         4;
  }
  if (showTags) {
    for (size_t i = 0; i < m->tags.size() && i < 3; ++i) {
      const QString tag = QString::fromStdString(m->tags[i]);
      const QColor hue = QColor::fromHsv(static_cast<int>(qHash(tag) % 360), 90, 200);
      x += draw_chip(p, x, top3 + (line - chipHeight) / 2, chipHeight, tag,
                     selected && focused ? mix(hue, background, 0.3) : mix(hue, background, 0.55),
                     text, small) +
           4;
      if (x > r.right() - 60) break;
    }
  }
  p->setFont(regular);
  p->setPen(dim);
  QString preview = QString::fromStdString(m->preview).simplified();
  p->drawText(QRect(x, top3, r.right() - x, line), Qt::AlignVCenter,
              option.fontMetrics.elidedText(preview, Qt::ElideRight, std::max(0, r.right() - x)));

  p->setPen(mix(palette.color(QPalette::Base), palette.color(QPalette::Text), 0.1));
  p->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
  p->restore();
}

}  // namespace kestrova::app::desktop
