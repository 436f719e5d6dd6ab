# SPDX-License-Identifier: GPL-3.0-or-later
# A package upgrade as an operator does it, in one boot: the last tagged release
# (old.deb) installed and settled, the tree's package (tavik.deb) installed over it while
# its daemon runs (nothing restarts), the new tavikctl reading the old daemon's
# namespace, then `systemctl restart tavik`: the service is back, the states, history
# and audit written before are there, and no pair that was online was published offline
# while a watch looked on. Then the downgrade: the old package over the new one.
source /share/in/lib.sh
set -u

ready() { [ "$(prop tavik ActiveState)" = active ] && tavikctl status --check; }
version_of() { dpkg-query -W -f '${Version}' tavik; }
online_pairs() { tavikctl status --json | python3 -c '
import json, sys
d = json.load(sys.stdin)
print(" ".join(sorted("%s/%s" % (r["name"], n["name"]) for r in d["resources"] for n in r["nodes"] if n["state"] == "online")))'; }

# Every document of the watch, for pairs online before that ever showed offline.
published_offline() { python3 - "$1" /tmp/watch.jsonl <<'PY'
import json, sys
before = set(sys.argv[1].split())
seen = set()
for line in open(sys.argv[2]):
    try:
        d = json.loads(line)
    except ValueError:
        continue
    for r in d["resources"]:
        for n in r["nodes"]:
            if "%s/%s" % (r["name"], n["name"]) in before and n["state"] != "online":
                seen.add("%s/%s %s" % (r["name"], n["name"], n["state"]))
print("documents: %d; online before: %s; published otherwise: %s" % (
    sum(1 for _ in open(sys.argv[2])), " ".join(sorted(before)), ", ".join(sorted(seen)) or "none"))
sys.exit(1 if any(s.endswith(" offline") for s in seen) else 0)
PY
}

check ipmi-device ls -l /dev/ipmi0
cp "$IN/old.deb" "$IN/tavik.deb" /tmp/
check install-old sh -c 'apt-get install -y -q /tmp/old.deb >/tmp/apt.log 2>&1 || { tail /tmp/apt.log; exit 1; }
  grep -E "^Setting up tavik"  /tmp/apt.log'
install -D -m 0644 "$IN/cluster.xml" /etc/tavik/cluster.xml
install -m 0600 "$IN/bmc.conf" /etc/tavik/bmc.conf
systemctl start tavik
check old-live within 60 ready
ask_host online-before
both_online() { [ "$(online_pairs 2>/dev/null | wc -w)" -ge 2 ]; }
within 30 both_online || true
old_version=$(version_of)
# Something for the audit ring, and the history as the old release left it.
tavikctl set waitstat 0 >/dev/null
tavikctl status --json >/tmp/before.json
before_online=$(online_pairs)
main_before=$(prop tavik MainPID)

check upgrade-installed sh -c 'apt-get install -y -q /tmp/tavik.deb >/tmp/apt2.log 2>&1 || { tail /tmp/apt2.log; exit 1; }
  grep -E "^(Preparing to unpack|Unpacking|Setting up) tavik" /tmp/apt2.log'
check upgrade-no-restart sh -c "echo 'MainPID $main_before -> '\$(systemctl show -P MainPID tavik)', $(dpkg-query -W -f '${Version}' tavik)';
  [ \$(systemctl show -P MainPID tavik) = $main_before ]"
check new-reads-old sh -c 'tavikctl status --check && tavikctl status | head -n 3'
ask_host online-during

tavikctl status --watch --json >/tmp/watch.jsonl 2>/tmp/watch.err &
watch=$!
sleep 2
check restart sh -c 'systemctl restart tavik && journalctl -b -u tavik --no-pager -o cat | grep -E "namespace .*(migrated|exists and matches)" | tail -n 1'
check new-live within 60 ready
sleep 3
kill "$watch"
wait "$watch" 2>/dev/null
check none-published-offline published_offline "$before_online"
check history-kept python3 - <<'PY'
import json, subprocess
before = json.load(open("/tmp/before.json"))
after = json.loads(subprocess.run(["tavikctl", "status", "--json"], capture_output=True, text=True).stdout)
lost = []
for rb, ra in zip(before["resources"], after["resources"]):
    if ra["status_changes"] < rb["status_changes"]:
        lost.append(rb["name"] + " status")
    for nb, na in zip(rb["nodes"], ra["nodes"]):
        if na["changes"] < nb["changes"] or (nb["last_change"] and not na["last_change"]):
            lost.append("%s/%s" % (rb["name"], nb["name"]))
audit_before = [(a["time"], a["what"]) for a in before["daemon"]["audit"]]
audit_after = [(a["time"], a["what"]) for a in after["daemon"]["audit"]]
missing = [a for a in audit_before if a not in audit_after]
print("history of %d pairs and statuses kept, changes %d -> %d; audit %s kept in %s" % (
    sum(len(r["nodes"]) + 1 for r in before["resources"]), before["changes"], after["changes"],
    [w for _, w in audit_before], [w for _, w in audit_after]))
raise SystemExit(1 if lost or missing else 0)
PY
ask_host online-after

# Downgrade: the old package over the new one. The same layout runs on; a newer one is
# refused with both versions named, and the namespace stays byte for byte.
systemctl stop tavik
sum_before=$(cat /dev/shm/tavik.nm /dev/shm/tavik.cm | sha256sum)
apt-get install -y -q --allow-downgrades /tmp/old.deb >/tmp/apt3.log 2>&1
systemctl start tavik
if ! out=$(tavikctl status 2>&1) && grep -q 'layout version' <<<"$out"; then
  check downgrade sh -c "journalctl -b -u tavik --no-pager -o cat | grep -E 'layout version [0-9]+, this library reads' | tail -n 1;
    [ \"\$(cat /dev/shm/tavik.nm /dev/shm/tavik.cm | sha256sum)\" = '$sum_before' ]"
else
  check downgrade sh -c "echo 'back to $(version_of): the layout is the same, the old release reads it';
    [ \$(systemctl show -P ActiveState tavik) = active ] && tavikctl status --check"
fi
echo "upgraded $old_version -> downgraded $(version_of)" >"$OUT/versions"
