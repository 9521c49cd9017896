#include "app/desktop/follow_up_items.h"

#include <QApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QStyledItemDelegate>
#include <algorithm>
#include <unordered_map>

#include "store/database.h"
#include "store/email_action_store.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

QString when_text(double at) {
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(at)),
                            QLocale::ShortFormat);
}

struct MessageLine {
  std::string subject;
  std::string from;
};

}  // namespace

ActionItemsModel::ActionItemsModel(store::EmailDatabase& database, QObject* parent)
    : QAbstractListModel(parent),
      database_(database),
      // The service (or the window's own service work) wakes snoozed items; this store
      // only reads and changes them.
      store_(std::make_unique<store::EmailActionStore>(
          database,
          store::EmailActionStore::Options{.clock = {}, .poster = {}, .withoutWakeTimer = true})) {
  refresh();
}

ActionItemsModel::~ActionItemsModel() = default;

void ActionItemsModel::refresh() {
  store_->load();
  // The messages of the items that are still shown (not deleted), one read.
  const auto lines = database_.read([](store::Connection& c) {
    std::unordered_map<std::string, MessageLine> out;
    auto s = c.prepare(
        "SELECT id, subject, COALESCE(NULLIF(from_name, ''), from_email) FROM email_messages "
        "WHERE is_deleted = 0 AND id IN (SELECT message_id FROM email_action_items)");
    while (s.step())
      out.emplace(s.text(0).value_or(""),
                  MessageLine{s.text(1).value_or(""), s.text(2).value_or("")});
    return out;
  });
  std::vector<ActionItemRow> rows;
  for (const auto& item : store_->items()) {
    const auto line = lines.find(item.messageId);
    if (line == lines.end()) continue;
    if (rows.size() >= static_cast<size_t>(kMaxItems)) break;
    ActionItemRow row;
    row.id = item.id;
    row.messageId = item.messageId;
    row.title = item.title;
    row.subject =
        line->second.subject.empty() ? localized("email.no.subject") : line->second.subject;
    row.from = line->second.from;
    row.dueAt = item.dueAt;
    if (item.state == store::EmailActionItemState::snoozed) row.snoozedUntil = item.snoozedUntil;
    row.done = item.state == store::EmailActionItemState::done;
    rows.push_back(std::move(row));
  }
  // What is still to do comes first; the order within each group stays newest first.
  std::stable_partition(rows.begin(), rows.end(), [](const ActionItemRow& r) { return !r.done; });
  beginResetModel();
  rows_ = std::move(rows);
  endResetModel();
}

const ActionItemRow* ActionItemsModel::row_at(int row) const {
  if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
  return &rows_[static_cast<size_t>(row)];
}

std::optional<int> ActionItemsModel::row_of(const std::string& itemId) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i].id == itemId) return static_cast<int>(i);
  return std::nullopt;
}

bool ActionItemsModel::set_done(int row, bool done) {
  const ActionItemRow* item = row_at(row);
  if (!item || item->done == done) return item != nullptr;
  const bool ok = done ? store_->complete(item->id) : store_->reopen(item->id);
  if (!ok) return false;
  rows_[static_cast<size_t>(row)].done = done;
  rows_[static_cast<size_t>(row)].snoozedUntil.reset();
  emit dataChanged(index(row), index(row));
  return true;
}

int ActionItemsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant ActionItemsModel::data(const QModelIndex& index, int role) const {
  const ActionItemRow* item = row_at(index.row());
  if (!item) return {};
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      return QString::fromStdString(item->title);
    case kDetailRole: {
      QString second = QString::fromStdString(item->subject);
      if (!item->from.empty()) second += "  ·  " + QString::fromStdString(item->from);
      if (item->dueAt)
        second += "  ·  " + QString::fromStdString(localized_format(
                                "desktop.actions.due", when_text(*item->dueAt).toStdString()));
      if (item->snoozedUntil)
        second +=
            "  ·  " + QString::fromStdString(localized_format(
                          "desktop.actions.snoozed", when_text(*item->snoozedUntil).toStdString()));
      return second;
    }
    case Qt::CheckStateRole:
      return item->done ? Qt::Checked : Qt::Unchecked;
    case kMessageIdRole:
      return QString::fromStdString(item->messageId);
    default:
      return {};
  }
}

bool ActionItemsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::CheckStateRole) return false;
  return set_done(index.row(), value.toInt() == Qt::Checked);
}

Qt::ItemFlags ActionItemsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable;
}

namespace {

// Two lines per item: the title (struck through and greyed once done), and under it, smaller
// and grey, the message it came from.
class ActionItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* p, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem o = option;
    initStyleOption(&o, index);
    o.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &o, p, widget);
    const QRect text =
        style->subElementRect(QStyle::SE_ItemViewItemText, &o, widget).adjusted(4, 4, -4, -4);
    const bool selected = option.state & QStyle::State_Selected;
    const bool done = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    const QColor strong =
        option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
    const QColor weak = selected ? strong : option.palette.color(QPalette::Mid);
    p->save();
    QFont title = option.font;
    title.setStrikeOut(done);
    p->setFont(title);
    p->setPen(done ? weak : strong);
    const QFontMetrics titleMetrics(title);
    p->drawText(QRect(text.left(), text.top(), text.width(), titleMetrics.height()),
                Qt::AlignLeft | Qt::AlignVCenter,
                titleMetrics.elidedText(index.data().toString(), Qt::ElideRight, text.width()));
    QFont detail = option.font;
    detail.setPointSizeF(detail.pointSizeF() * 0.9);
    p->setFont(detail);
    p->setPen(weak);
    const QFontMetrics detailMetrics(detail);
    p->drawText(QRect(text.left(), text.top() + titleMetrics.height() + 2, text.width(),
                      detailMetrics.height()),
                Qt::AlignLeft | Qt::AlignVCenter,
                detailMetrics.elidedText(index.data(ActionItemsModel::kDetailRole).toString(),
                                         Qt::ElideRight, text.width()));
    p->restore();
  }

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QFontMetrics metrics(option.font);
    return {QStyledItemDelegate::sizeHint(option, index).width(), metrics.height() * 2 + 14};
  }
};

}  // namespace

ActionItemsView::ActionItemsView(store::EmailDatabase& database, QWidget* parent)
    : QListView(parent), model_(new ActionItemsModel(database, this)) {
  setItemDelegate(new ActionItemDelegate(this));
  setUniformItemSizes(true);
  setObjectName("actionItems");
  setModel(model_);
  setFrameShape(QFrame::NoFrame);
  setAlternatingRowColors(true);
  connect(this, &QListView::doubleClicked, this, [this] { open_current(); });
}

void ActionItemsView::refresh() {
  const ActionItemRow* current = model_->row_at(currentIndex().row());
  const std::string keep = current ? current->id : std::string();
  const int fallback = currentIndex().row();
  model_->refresh();
  int row = fallback;
  if (auto again = model_->row_of(keep)) row = *again;
  row = std::min(row, model_->rowCount() - 1);
  if (row >= 0) setCurrentIndex(model_->index(row));
}

void ActionItemsView::open_current() {
  const ActionItemRow* item = model_->row_at(currentIndex().row());
  if (item && onOpen) onOpen(item->messageId);
}

// The window's own keys (Enter opens the list's message, j and k move the message list)
// would take these before the view sees them.
bool ActionItemsView::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() == Qt::NoModifier || key->modifiers() == Qt::KeypadModifier) {
      switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Space:
        case Qt::Key_J:
        case Qt::Key_K:
          event->accept();
          return true;
        default:
          break;
      }
    }
  }
  return QListView::event(event);
}

void ActionItemsView::keyPressEvent(QKeyEvent* event) {
  const int row = currentIndex().row();
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      open_current();
      return;
    case Qt::Key_Space:
      if (const ActionItemRow* item = model_->row_at(row)) model_->set_done(row, !item->done);
      return;
    case Qt::Key_J:
    case Qt::Key_K: {
      const int next = std::clamp(row + (event->key() == Qt::Key_J ? 1 : -1), 0,
                                  std::max(0, model_->rowCount() - 1));
      if (model_->rowCount() > 0) setCurrentIndex(model_->index(next));
      return;
    }
    default:
      QListView::keyPressEvent(event);
  }
}

}  // namespace kestrova::app::desktop
