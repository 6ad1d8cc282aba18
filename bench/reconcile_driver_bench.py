"""End-to-end reconciliation speed through Python: generated customer records (people seen in
up to three sources, with typing variations) reconciled with the example spec by
`reconcile_local`, then a batch of new records by `reconcile_incremental` against them.
Prints records per second; asserts nothing.

Needs the installed package (`python3 -m pip install --no-build-isolation .`).

    python3 bench/reconcile_driver_bench.py                 # 100,000 records
    python3 bench/reconcile_driver_bench.py --records 20000 --repeat 5
"""

import argparse
import json
import pathlib
import random
import statistics
import sys
import time
import uuid

from vintrel import _native

ROOT = pathlib.Path(__file__).resolve().parents[1]
SPEC = ROOT / "examples" / "customer.yaml"
TENANT = "7d444840-9dc0-11d1-b245-5ffdce74fad2"

FIRST = ["Anna", "William", "Maria", "James", "Sophie", "Hiroshi", "Olivia", "Robert", "Chen",
         "Emma", "Lukas", "Fatima", "Noah", "Ines", "Pavel", "Grace", "Omar", "Lena", "Diego", "Mei"]
LAST = ["Kowalski", "Turner", "Garcia", "OBrien", "Martin", "Tanaka", "Smith", "Johnson", "Wei",
        "Brown", "Schneider", "Haddad", "Williams", "Silva", "Novak", "Kim", "Rossi", "Dubois",
        "Nowak", "Jensen", "Moreau", "Fischer", "Costa", "Ivanova", "Larsen"]


def generate(count: int, seed: int) -> list[dict]:
    """About `count` records: each person appears in one to three sources; some copies carry a
    differently cased e-mail, a reformatted phone or a typo in the last name."""
    rng = random.Random(seed)
    records: list[dict] = []
    person = 0
    while len(records) < count:
        person += 1
        first, last = rng.choice(FIRST), rng.choice(LAST) + str(person % 997)
        email = f"{first}.{last}.{person}@example.com".lower()
        phone = f"+1 {200 + person % 800} 555 {person % 10000:04d}"
        dob = f"19{50 + person % 50}-{1 + person % 12:02d}-{1 + person % 28:02d}"
        postcode = f"{10000 + rng.randrange(90000)}"
        for source in rng.sample(["crm", "webshop", "billing"], rng.choice([1, 1, 2, 3])):
            data = {"first_name": first, "last_name": last, "email": email,
                    "postal_code": postcode, "date_of_birth": dob}
            if source != "billing":
                data["phone"] = phone
            if rng.random() < 0.2:
                data["email"] = email.upper()
            if rng.random() < 0.1:
                data["last_name"] = last[:-2] + last[-1] + last[-2]
            external = f"{source[0].upper()}-{len(records)}"
            records.append({
                "id": str(uuid.UUID(int=rng.getrandbits(128), version=4)),
                "tenant_id": TENANT,
                "external_id": external,
                "entity_type": "customer",
                "data": data,
                "source_name": source,
                "valid_from": None,
                "valid_to": None,
                "last_updated": f"2024-{1 + len(records) % 12:02d}-15T10:00:00Z",
            })
    return records[:count]


def timed(call, repeat: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=100_000)
    parser.add_argument("--new", type=int, default=1_000, help="records of the incremental step")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    args = parser.parse_args()

    spec = SPEC.read_text(encoding="utf-8")
    records = generate(args.records + args.new, args.seed)
    existing, new = records[:args.records], records[args.records:]
    existing_json, new_json = json.dumps(existing), json.dumps(new)
    print(f"records: {len(existing):,} ({len(existing_json) / 1e6:.1f} MB of JSON), "
          f"new records: {len(new):,}, median of {args.repeat} runs")

    seconds, result = timed(lambda: _native.reconcile_local(spec, existing_json), args.repeat)
    telemetry = result["telemetry"]
    print(f"reconcile_local:       {seconds:8.3f} s  {len(existing) / seconds:12,.0f} records/s  "
          f"({telemetry['pairs_evaluated']:,} pairs, {len(result['decisions']):,} decisions, "
          f"{len(result['clusters']):,} clusters)")

    clusters_json = json.dumps(result["clusters"])
    seconds, update = timed(
        lambda: _native.reconcile_incremental(spec, new_json, existing_json, clusters_json,
                                              result["trained_fs_params"]),
        args.repeat)
    print(f"reconcile_incremental: {seconds:8.3f} s  {len(records) / seconds:12,.0f} records/s  "
          f"({update['telemetry']['pairs_evaluated']:,} pairs, "
          f"{len(update['clusters']):,} clusters; all records read and clustered)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
