#pragma once
// The archive tree: year, month and day entries under the archive root, named as on disk.
#include <QFileIconProvider>
#include <QTreeWidget>

#include <string>
#include <vector>

class QTreeWidgetItem;

namespace kalvo {

class ArchiveFrameLink;

// What the ordering looks at of one entry.
struct ArchiveItem {
    std::u16string name;
    bool folder = false;
};

// Negative when a goes first: the newest year first, December to January, day 31 to 1. A folder
// and a file, or two folders that are not both years (above 2000) or both months (below 13),
// are not ordered against each other (0).
int CompareArchiveItems(const ArchiveItem& a, const ArchiveItem& b);

// Held by every node, and owned by it.
struct TreeItemData {
    std::string parent_folder;  // folder that holds the entry (UTF-8)
    std::string name;           // the entry's name inside it
    std::string path;           // parent_folder/name
    bool folder = false;
    bool expanded_once = false;
};

class CTreeWnd : public QTreeWidget {
  public:
    CTreeWnd(ArchiveFrameLink* link, std::string archive_root, QWidget* parent = nullptr);
    ~CTreeWnd() override;

    void SetArchiveRoot(std::string root) { root_ = std::move(root); }
    const std::string& ArchiveRoot() const { return root_; }

    // Rebuilds the top level from disk: one node per year, unfilled and collapsed.
    void FillTree();

    // The node data under a point of the viewport, or null.
    const TreeItemData* DataAt(QPoint pos) const;
    static const TreeItemData* DataOf(const QTreeWidgetItem* item);
    // The day file node under a point of the viewport, or null for folders and empty space.
    const TreeItemData* DayAt(QPoint pos) const;

    // Nodes alive in the process, for checking that rebuilds free what they replace.
    static int LiveNodesForTesting();

  protected:
    bool event(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    class Node;

    // Lists the folder into `parent`, ordered.
    void FillNode(const std::string& folder, QTreeWidgetItem* parent);
    void OnExpandedOrCollapsed(QTreeWidgetItem* item, bool expanded);
    void ScheduleRebuild();

    ArchiveFrameLink* link_;
    std::string root_;
    QFileIconProvider icons_;
    bool rebuild_pending_ = false;
};

}  // namespace kalvo
