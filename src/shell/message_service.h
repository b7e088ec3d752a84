#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>

namespace trevik::shell {

inline constexpr const char* kCaption = "Trevik for Solaris (SPARC)";

enum class MessageKind { Information = 1, Error = 2, Question = 3 };

// Every message and question of the program goes through this, with the program's
// caption; tests replace it with one that answers and records.
class MessageService {
public:
    virtual ~MessageService() = default;
    virtual void ShowMessage(QWidget* parent, MessageKind kind, const QString& text) = 0;
    // True for Yes.
    virtual bool AskYesNo(QWidget* parent, MessageKind kind, const QString& text) = 0;
    // Closes a question still open (answered No): the process it asked about has ended.
    virtual void CloseQuestion() {}
    // Writes a report of a copy to the file named; returns why it could not (empty: done).
    using SaveReport = std::function<QString(const QString& path)>;
    // What the report of a copy offers besides: saving the report ("Save Report...", first
    // offered in the destination folder) and opening the destination folder.
    struct ReportActions {
        ReportActions() = default;
        ReportActions(SaveReport s) : save(std::move(s)) {}
        SaveReport save;
        QString destination;
        std::function<void()> openDestination;
    };
    // What an operation recovered and what it could not: a summary, then the items the
    // user may want to copy (incomplete and skipped files, warnings), one a line.
    virtual void ShowReport(QWidget* parent, const QString& summary, const QStringList& details,
                            const ReportActions& actions = {}) {
        (void)actions;
        ShowMessage(parent, details.isEmpty() ? MessageKind::Information : MessageKind::Error,
                    summary + (details.isEmpty() ? QString() : "\n" + details.join('\n')));
    }
};

// What the program hands to the desktop: web pages, files to open. Tests record instead.
class DesktopService {
public:
    virtual ~DesktopService() = default;
    // False when nothing on this desktop opens it (no browser set): the caller shows it
    // another way.
    virtual bool OpenUrl(const QUrl& url) = 0;
    // Hands a file to the desktop's program for its type; false when there is none.
    virtual bool OpenFile(const QString& file) = 0;
    virtual void OpenWith(const QString& program, const QString& file) = 0;
};

// What an operation recovered and what it could not, with a list the user can copy.
class ReportDialog : public QDialog {
public:
    ReportDialog(QWidget* parent, const QString& summary, const QStringList& details,
                 const MessageService::ReportActions& actions = {});
    // Asked for the report's file name; empty means cancel. A file dialog unless set.
    std::function<QString()> chooseReportFile;
};

class BoxMessageService final : public MessageService {
public:
    void ShowMessage(QWidget* parent, MessageKind kind, const QString& text) override;
    bool AskYesNo(QWidget* parent, MessageKind kind, const QString& text) override;
    void CloseQuestion() override;
    void ShowReport(QWidget* parent, const QString& summary, const QStringList& details,
                    const ReportActions& actions = {}) override;

private:
    QDialog* question_ = nullptr; // the question open now; not owned
};

class SystemDesktopService final : public DesktopService {
public:
    bool OpenUrl(const QUrl& url) override;
    bool OpenFile(const QString& file) override;
    void OpenWith(const QString& program, const QString& file) override;
};

} // namespace trevik::shell
