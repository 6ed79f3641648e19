#include "uAlertCenter.h"

#include "uPingerSession.h"
#include "zsPingStatus.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace {

QString TimeText(TDateTime Time) {
    constexpr double UnixEpochDays = 25569.0; // 1970-01-01 counted from 1899-12-30
    const qint64 Ms = std::llround((Time - UnixEpochDays) * 86400000.0);
    // Date-times are local time: read the milliseconds back as a local clock reading.
    return QDateTime::fromMSecsSinceEpoch(Ms, Qt::UTC).toString(QStringLiteral("HH:mm:ss"));
}

} // namespace

TAlertCenter::TAlertCenter(QObject* Parent) : QObject(Parent) {}

void TAlertCenter::SetSettings(const TAlertSettings& Settings) {
    FSettings = Settings.Clamped();
    for (auto& [Monitor, Entry] : FEntries) {
        Entry.Tracker.SetSettings(FSettings);
    }
}

void TAlertCenter::ResultArrived(TPingerSession& Monitor) {
    if (Monitor.Samples().empty()) {
        return;
    }
    const TPingEventObj& Sample = Monitor.Samples()[0];
    auto [It, Added] = FEntries.try_emplace(&Monitor, TEntry{TAlertTracker(FSettings), {}, {}});
    TEntry& Entry = It->second;
    if (!Added && Entry.Target != Monitor.Target()) {
        Entry.Tracker.Reset(); // the monitor started again on another target
    }
    Entry.Target = Monitor.Target();
    const QString Name = QString::fromLocal8Bit(Monitor.DisplayName());
    const bool Renamed = Entry.Name != Name;
    Entry.Name = Name;

    // A request that a sleep of the machine cut off says nothing about the host.
    bool Changed = false;
    if (Sample.Success || !Sample.AfterGap) {
        if (const auto Change = Entry.Tracker.Add(Sample.Success, Sample.RoundTrip)) {
            Changed = true;
            Notify(Name, Sample, Change->To);
        }
    }
    Monitor.SetDegraded(Entry.Tracker.State() == TAlertState::Degraded);
    if (Added || Changed || Renamed) {
        emit SummaryChanged();
    }
}

void TAlertCenter::Notify(const QString& Name, const TPingEventObj& Sample, TAlertState To) {
    if (!FEnabled || !FNotifier) {
        return;
    }
    const QString Last = Sample.Success ? QStringLiteral("%1 ms").arg(Sample.RoundTrip)
                                        : QString::fromStdString(StatusName(Sample.Status));
    FNotifier->Notify({Name,
                       AlertNoticeBody(To, QString::fromStdString(Sample.IPAddress()), Last,
                                       TimeText(Sample.Time)),
                       To, FSettings.Sound});
}

void TAlertCenter::MonitorRenamed(const TPingerSession& Monitor) {
    const auto It = FEntries.find(&Monitor);
    if (It == FEntries.end()) {
        return;
    }
    const QString Name = QString::fromLocal8Bit(Monitor.DisplayName());
    if (It->second.Name != Name) {
        It->second.Name = Name;
        emit SummaryChanged();
    }
}

void TAlertCenter::MonitorRemoved(const TPingerSession& Monitor) {
    if (FEntries.erase(&Monitor) > 0) {
        emit SummaryChanged();
    }
}

TAlertState TAlertCenter::State(const TPingerSession& Monitor) const {
    const auto It = FEntries.find(&Monitor);
    return It == FEntries.end() ? TAlertState::Unknown : It->second.Tracker.State();
}

TAlertState TAlertCenter::WorstState() const {
    TAlertState Worst = TAlertState::Unknown;
    for (const auto& [Monitor, Entry] : FEntries) {
        if (AlertSeverity(Entry.Tracker.State()) > AlertSeverity(Worst)) {
            Worst = Entry.Tracker.State();
        }
    }
    return Worst;
}

QStringList TAlertCenter::TroubleList() const {
    QStringList Down;
    QStringList Degraded;
    for (const auto& [Monitor, Entry] : FEntries) {
        const TAlertState S = Entry.Tracker.State();
        if (S == TAlertState::Down || S == TAlertState::Degraded) {
            (S == TAlertState::Down ? Down : Degraded)
                << QStringLiteral("%1: %2").arg(Entry.Name, QString::fromLatin1(AlertStateName(S)));
        }
    }
    const auto ByName = [](const QString& A, const QString& B) {
        return A.compare(B, Qt::CaseInsensitive) < 0;
    };
    std::sort(Down.begin(), Down.end(), ByName);
    std::sort(Degraded.begin(), Degraded.end(), ByName);
    return Down + Degraded;
}
