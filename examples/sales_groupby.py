"""Data-frame group-by: monthly sales per region and product with pandas."""

import numpy as np
import pandas as pd


def make_orders(n_orders=50_000, seed=5):
    """A synthetic order book: one row per order."""
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "date": pd.Timestamp("2024-01-01") + pd.to_timedelta(rng.integers(0, 365, n_orders), unit="D"),
        "region": rng.choice(["north", "south", "east", "west"], n_orders),
        "product": rng.choice(["basic", "plus", "pro"], n_orders, p=[0.6, 0.3, 0.1]),
        "units": rng.integers(1, 20, n_orders),
        "unit_price": rng.choice([9.5, 24.0, 79.0], n_orders),
    })


def monthly_revenue(orders):
    """Revenue per region and month, as a region x month table."""
    orders = orders.assign(revenue=orders["units"] * orders["unit_price"],
                           month=orders["date"].dt.to_period("M"))
    per_month = orders.groupby(["region", "month"], as_index=False)["revenue"].sum()
    return per_month.pivot(index="region", columns="month", values="revenue")


def product_mix(orders):
    """Share of units of each product within each region."""
    units = orders.groupby(["region", "product"])["units"].agg(["sum", "count", "mean"])
    units["share"] = units["sum"] / units.groupby(level="region")["sum"].transform("sum")
    return units.sort_values("share", ascending=False)


def trend(table):
    """Three-month rolling mean of each region's revenue."""
    return table.T.rolling(3, min_periods=1).mean().T


def main():
    orders = make_orders()
    table = monthly_revenue(orders)
    print(trend(table).round(0).iloc[:, :4])
    print(product_mix(orders).head(6))


if __name__ == "__main__":
    main()
