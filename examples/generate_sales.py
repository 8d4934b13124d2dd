"""Writes examples/sales.csv: a year of daily orders in six regions.

Seeded, so the file is the same on every run. Run it again only to change
the data: `python3 examples/generate_sales.py`.
"""

import csv
import datetime
import math
import pathlib
import random

REGIONS = ["north", "south", "east", "west", "central", "coast"]
CHANNELS = ["web", "store", "phone", "partner"]
PLANS = ["free", "basic", "pro", "enterprise"]


def main():
    rng = random.Random(20261210)
    out = pathlib.Path(__file__).with_name("sales.csv")
    start = datetime.date(2025, 1, 1)
    with out.open("w", newline="", encoding="utf-8") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["time", "region", "channel", "plan", "basket_value", "delivery_days"])
        for day in range(365):
            date = start + datetime.timedelta(days=day)
            # From the autumn on, the coast shifts towards the web and spends more.
            drift = max(0.0, (day - 240) / 125.0)
            for region in REGIONS:
                for _ in range(rng.randint(2, 4)):
                    web_bias = 0.35 + (0.4 * drift if region == "coast" else 0.0)
                    channel = "web" if rng.random() < web_bias else rng.choice(CHANNELS[1:])
                    plan = rng.choices(PLANS, weights=[5, 4, 2, 1])[0]
                    scale = 40.0 * (1.0 + 0.8 * drift * (region == "coast"))
                    basket = round(rng.lognormvariate(math.log(scale), 0.5), 2)
                    delivery = max(0, int(rng.gauss(3 if channel == "web" else 1, 1.2)))
                    w.writerow([date.isoformat(), region, channel, plan, basket, delivery])


if __name__ == "__main__":
    main()
