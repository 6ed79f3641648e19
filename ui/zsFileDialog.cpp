#include "zsFileDialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QQueue>

#include <utility>

namespace {

struct TTestState {
    bool On = false;
    QQueue<QString> Answers;
    QList<TzsFileDialog::TOptions> Asked;
};

TTestState& Test() {
    static TTestState State;
    return State;
}

QString Suffix(const QString& DefaultExt) {
    return DefaultExt.startsWith(u'.') ? DefaultExt.mid(1) : DefaultExt;
}

} // namespace

QStringList TzsFileDialog::NameFilters(const QString& Filter) {
    QStringList Filters;
    const QStringList Parts = Filter.split(u'|');
    for (qsizetype I = 0; I + 1 < Parts.size(); I += 2) {
        QStringList Patterns = Parts[I + 1].split(u';', Qt::SkipEmptyParts);
        for (QString& Pattern : Patterns) {
            Pattern = Pattern.trimmed();
        }
        Filters.append(Parts[I] + QStringLiteral(" (") + Patterns.join(u' ') + u')');
    }
    return Filters;
}

QString TzsFileDialog::WithDefaultExt(const QString& Path, const QString& DefaultExt) {
    const QFileInfo Info(Path);
    if (Path.isEmpty() || Suffix(DefaultExt).isEmpty() || !Info.suffix().isEmpty() ||
        Info.exists()) {
        return Path;
    }
    return Path + u'.' + Suffix(DefaultExt);
}

void TzsFileDialog::Configure(QFileDialog& Dialog, const TOptions& Options) {
    if (Options.Kind == TKind::Save) {
        Dialog.setAcceptMode(QFileDialog::AcceptSave);
        Dialog.setFileMode(QFileDialog::AnyFile);
        Dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    } else {
        Dialog.setAcceptMode(QFileDialog::AcceptOpen);
        Dialog.setFileMode(QFileDialog::ExistingFile);
    }
    Dialog.setDefaultSuffix(Suffix(Options.DefaultExt));
    Dialog.setNameFilters(NameFilters(Options.Filter));
    Dialog.selectFile(Options.FileName);
}

QString TzsFileDialog::Execute(QWidget* Parent, const TOptions& Options) {
    TTestState& State = Test();
    if (State.On) {
        State.Asked.append(Options);
        const QString Answer = State.Answers.isEmpty() ? QString() : State.Answers.dequeue();
        return WithDefaultExt(Answer, Options.DefaultExt);
    }
    QFileDialog Dialog(Parent);
    Configure(Dialog, Options);
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty()) {
        return QString();
    }
    // A desktop's own dialog may not add the extension itself.
    return WithDefaultExt(Dialog.selectedFiles().constFirst(), Options.DefaultExt);
}

void TzsFileDialog::SetTestMode(bool On) {
    TTestState& State = Test();
    State.On = On;
    State.Answers.clear();
    State.Asked.clear();
}

void TzsFileDialog::SetNextFileName(const QString& FileName) {
    Test().Answers.enqueue(FileName);
}

QList<TzsFileDialog::TOptions> TzsFileDialog::TakeAsked() {
    return std::exchange(Test().Asked, {});
}
