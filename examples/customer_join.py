"""Data-frame joins: enrich support tickets with customer records and rank accounts with pandas."""

import numpy as np
import pandas as pd


def load_tables(n_customers=5_000, n_tickets=40_000, seed=9):
    rng = np.random.default_rng(seed)
    customers = pd.DataFrame({
        "customer_id": np.arange(n_customers),
        "plan": rng.choice(["free", "team", "enterprise"], n_customers, p=[0.7, 0.25, 0.05]),
        "country": rng.choice(["DE", "FR", "US", "JP", "BR"], n_customers),
    })
    tickets = pd.DataFrame({
        "customer_id": rng.integers(0, n_customers, n_tickets),
        "hours_open": rng.exponential(12.0, n_tickets),
        "severity": rng.choice(["low", "normal", "high"], n_tickets, p=[0.5, 0.4, 0.1]),
    })
    return customers, tickets


def enrich(tickets, customers):
    """Left join: every ticket keeps its row even when the customer is unknown."""
    return tickets.merge(customers, on="customer_id", how="left", validate="many_to_one")


def slowest_paying_accounts(joined, top=10):
    """Paying customers whose high-severity tickets stay open longest."""
    paying = joined.query("plan != 'free' and severity == 'high'")
    per_customer = paying.groupby("customer_id").agg(
        tickets=("hours_open", "size"), median_hours=("hours_open", "median"))
    return per_customer.sort_values("median_hours", ascending=False).head(top)


def country_table(joined):
    """Median hours open per country and plan."""
    return joined.pivot_table(index="country", columns="plan", values="hours_open", aggfunc="median")


def main():
    customers, tickets = load_tables()
    joined = enrich(tickets, customers)
    print(country_table(joined).round(1))
    print(slowest_paying_accounts(joined))


if __name__ == "__main__":
    main()
