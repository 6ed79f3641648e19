#include "uAlertCenter.h"

#include "uPingerSession.h"
#include "zsClock.h"
#include "zsPingStatus.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>
#include <set>

namespace {

QString TimeText(TDateTime Time) {
    constexpr double UnixEpochDays = 25569.0; // 1970-01-01 counted from 1899-12-30
    const qint64 Ms = std::llround((Time - UnixEpochDays) * 86400000.0);
    // Date-times are local time: read the milliseconds back as a local clock reading.
    return QDateTime::fromMSecsSinceEpoch(Ms, Qt::UTC).toString(QStringLiteral("HH:mm:ss"));
}

} // namespace

const QString TAlertCenter::SummaryKey = QStringLiteral("summary");

TAlertCenter::TAlertCenter(QObject* Parent) : QObject(Parent), FClock(SystemClock()) {}

TAlertCenter::~TAlertCenter() = default;

void TAlertCenter::SetClock(std::shared_ptr<TClock> Clock) {
    FClock = Clock ? std::move(Clock) : SystemClock();
}

QString TAlertCenter::NoticeKey(const TPingerSession& Monitor) {
    return QStringLiteral("monitor-%1").arg(quintptr(&Monitor), 0, 16);
}

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
    auto [It, Added] = FEntries.try_emplace(
        &Monitor, TEntry{TAlertTracker(FSettings), {}, {}, NoticeKey(Monitor), {}});
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
            Entry.Last = *Change;
            Notify(Entry, Sample, *Change);
        }
    }
    Monitor.SetDegraded(Entry.Tracker.State() == TAlertState::Degraded);
    if (Added || Changed || Renamed) {
        emit SummaryChanged();
    }
}

void TAlertCenter::Notify(const TEntry& Entry, const TPingEventObj& Sample,
                          const TAlertChange& Change) {
    if (!FEnabled || !FNotifier) {
        return;
    }
    const QString Time = TimeText(Sample.Time);
    const std::int64_t Now = FClock->MonoMs();
    if (!FBurst.empty() && Now - FLastChangeMs > BurstMs) {
        FBurst.clear(); // the changes paused: each host speaks for itself again
    }
    while (!FRecent.empty() && Now - FRecent.front().Ms > BurstMs) {
        FRecent.pop_front();
    }
    FRecent.push_back({Now, Entry.Key, Entry.Name, Change.To});
    FLastChangeMs = Now;

    const auto Join = [this](const TRecent& Host) {
        FNotifier->Close(Host.Key); // the summary stands for the host's own notice
        const auto It = std::find_if(FBurst.begin(), FBurst.end(),
                                     [&](const TRecent& B) { return B.Key == Host.Key; });
        if (It == FBurst.end()) {
            FBurst.push_back(Host);
        } else {
            *It = Host;
        }
    };
    if (!FBurst.empty()) {
        Join(FRecent.back());
        NotifySummary(Time);
        return;
    }
    std::set<QString> Hosts;
    for (const TRecent& R : FRecent) {
        Hosts.insert(R.Key);
    }
    if (int(Hosts.size()) > BurstHosts) {
        for (const TRecent& R : FRecent) {
            Join(R);
        }
        NotifySummary(Time);
        return;
    }

    QString Why;
    if (Change.To == TAlertState::Degraded) {
        Why = QString::fromStdString(
            AlertReasonText(Change.Reason, Change.LossPercent, Change.AverageRoundTrip));
    } else if (Sample.Success) {
        Why = QStringLiteral("round trip %1 ms").arg(Sample.RoundTrip);
    } else {
        Why = QString::fromStdString(StatusWords(Sample.Status));
    }
    QString Address = QString::fromStdString(Sample.IPAddress());
    if (Address.isEmpty()) {
        Address = QString::fromStdString(Entry.Target);
    }
    FNotifier->Notify({Entry.Name, AlertNoticeBody(Change.To, Why, Address, Time), Change.To,
                       FSettings.Sound, Entry.Key});
}

void TAlertCenter::NotifySummary(const QString& Time) {
    // "12 hosts down: a, b, c, …"; with states mixed, "7 hosts down, 5 up: …". The worst come
    // first, each state's hosts by name.
    std::vector<TRecent> Hosts = FBurst;
    std::sort(Hosts.begin(), Hosts.end(), [](const TRecent& A, const TRecent& B) {
        if (A.State != B.State) {
            return AlertSeverity(A.State) > AlertSeverity(B.State);
        }
        return A.Name.compare(B.Name, Qt::CaseInsensitive) < 0;
    });
    QStringList Counts;
    for (const TAlertState State : {TAlertState::Down, TAlertState::Degraded, TAlertState::Up}) {
        const auto Count = std::count_if(Hosts.begin(), Hosts.end(),
                                         [&](const TRecent& H) { return H.State == State; });
        if (Count > 0) {
            Counts << QStringLiteral("%1 %2").arg(Count).arg(
                QString::fromLatin1(AlertStateName(State)).toLower());
        }
    }
    Counts.front() = QStringLiteral("%1 hosts %2")
                         .arg(Counts.front().section(u' ', 0, 0), Counts.front().section(u' ', 1));
    constexpr int NamesShown = 3;
    QStringList Names;
    for (std::size_t I = 0; I < Hosts.size() && I < std::size_t(NamesShown); ++I) {
        Names << Hosts[I].Name;
    }
    if (Hosts.size() > std::size_t(NamesShown)) {
        Names << QStringLiteral("\u2026");
    }
    const QString Text = Counts.join(QStringLiteral(", ")) + QStringLiteral(": ") +
                         Names.join(QStringLiteral(", ")) + QStringLiteral(" \u00B7 ") + Time;
    FNotifier->Notify(
        {QStringLiteral("Vantorel"), Text, Hosts.front().State, FSettings.Sound, SummaryKey});
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
        if (S == TAlertState::Down) {
            Down << QStringLiteral("%1: Down").arg(Entry.Name);
        } else if (S == TAlertState::Degraded) {
            const std::string Why = AlertReasonText(Entry.Tracker.Reason(), Entry.Last.LossPercent,
                                                    Entry.Last.AverageRoundTrip);
            Degraded << (Why.empty() ? QStringLiteral("%1: Degraded").arg(Entry.Name)
                                     : QStringLiteral("%1: Degraded (%2)")
                                           .arg(Entry.Name, QString::fromStdString(Why)));
        }
    }
    const auto ByName = [](const QString& A, const QString& B) {
        return A.compare(B, Qt::CaseInsensitive) < 0;
    };
    std::sort(Down.begin(), Down.end(), ByName);
    std::sort(Degraded.begin(), Degraded.end(), ByName);
    return Down + Degraded;
}
