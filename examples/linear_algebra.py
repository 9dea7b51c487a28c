"""Linear algebra: fit a polynomial by least squares and inspect the system with NumPy's linalg."""

import numpy as np


def design_matrix(x, degree):
    """Vandermonde matrix with columns x**0 .. x**degree."""
    return np.vander(x, degree + 1, increasing=True)


def fit_normal_equations(a, y):
    """Solve (A^T A) w = A^T y; fast, but squares the condition number."""
    gram = np.matmul(a.T, a)
    rhs = a.T.dot(y)
    return np.linalg.solve(gram, rhs)


def fit_lstsq(a, y):
    """The numerically stable route through an orthogonal decomposition."""
    w, residuals, rank, singular = np.linalg.lstsq(a, y, rcond=None)
    return w, singular


def condition_report(a):
    """Condition number and the extreme eigenvalues of the Gram matrix."""
    gram = a.T @ a
    eigenvalues = np.linalg.eigvalsh(gram)
    return np.linalg.cond(a), eigenvalues.min(), eigenvalues.max()


def power_iteration(matrix, steps=200):
    """Dominant eigenvalue by repeated matrix-vector products."""
    v = np.ones(matrix.shape[0])
    for _ in range(steps):
        v = matrix @ v
        v /= np.linalg.norm(v)
    return float(v @ matrix @ v)


def main():
    rng = np.random.default_rng(3)
    x = np.linspace(-1.0, 1.0, 2_000)
    y = 0.5 - 2.0 * x + 3.0 * x ** 3 + rng.normal(0.0, 0.05, x.size)
    a = design_matrix(x, 5)
    w_fast = fit_normal_equations(a, y)
    w_safe, singular = fit_lstsq(a, y)
    cond, low, high = condition_report(a)
    print("coefficients (normal equations):", np.round(w_fast, 3))
    print("coefficients (lstsq):           ", np.round(w_safe, 3))
    print("condition number %.1f, Gram eigenvalues %.3g .. %.3g" % (cond, low, high))
    print("dominant eigenvalue %.3f" % power_iteration(a.T @ a))


if __name__ == "__main__":
    main()
