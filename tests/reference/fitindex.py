"""velmora.memory.fitindex in plain Python: the free-block tree step by step, shape included.

One tree node per distinct size, red-black balanced with the textbook insert and delete repairs;
further blocks of a size follow the node's head in its same-size list (the newest right after the
head), so results, counts, statistics and the tree's height and pre-order distribution can all be
compared with the native tree. Single-threaded: the native writer protocol is not modelled.
"""

RED, BLACK = 0, 1


class _Node:
    __slots__ = ("parent", "left", "right", "color", "size", "blocks")

    def __init__(self, size, block):
        self.parent = self.left = self.right = None
        self.color = RED
        self.size = size
        self.blocks = [block]  # head first, then the same-size list in list order


class RefTree:
    """The free-block tree as documented, step by step (one node per size)."""

    def __init__(self):
        self.root = None
        self.count = 0
        self.stats = dict.fromkeys(
            ["total_blocks", "total_insertions", "total_deletions", "total_searches",
             "bucket_hits", "tree_hits", "operation_count"], 0)

    # -- searches ------------------------------------------------------------
    def _find_node(self, size):
        n = self.root
        while n is not None:
            if size == n.size:
                return n
            n = n.left if size < n.size else n.right
        return None

    def _best_fit_node(self, size):
        cand, n = None, self.root
        while n is not None:
            if n.size < size:
                n = n.right
            else:
                if cand is None or n.size < cand.size:
                    cand = n
                n = n.left
        return cand

    # -- rotations and repairs -------------------------------------------------
    def _rotate(self, x, left):
        a, b = ("right", "left") if left else ("left", "right")
        y = getattr(x, a)
        setattr(x, a, getattr(y, b))
        if getattr(y, b) is not None:
            getattr(y, b).parent = x
        y.parent = x.parent
        if x.parent is None:
            self.root = y
        elif x is x.parent.left:
            x.parent.left = y
        else:
            x.parent.right = y
        setattr(y, b, x)
        x.parent = y

    def _fixup_insert(self, z):
        while z.parent is not None and z.parent.color == RED:
            p = z.parent
            g = p.parent
            side, other = ("left", "right") if p is g.left else ("right", "left")
            u = getattr(g, other)
            if u is not None and u.color == RED:
                p.color = u.color = BLACK
                g.color = RED
                z = g
            else:
                if z is getattr(p, other):
                    z = p
                    self._rotate(z, left=(side == "left"))
                z.parent.color = BLACK
                z.parent.parent.color = RED
                self._rotate(z.parent.parent, left=(side != "left"))
        self.root.color = BLACK

    def _transplant(self, u, v):
        if u.parent is None:
            self.root = v
        elif u is u.parent.left:
            u.parent.left = v
        else:
            u.parent.right = v
        if v is not None:
            v.parent = u.parent

    def _delete_node(self, z):
        removed = z.color
        if z.left is None:
            x = z.right
            self._transplant(z, z.right)
        elif z.right is None:
            x = z.left
            self._transplant(z, z.left)
        else:
            y = z.right
            while y.left is not None:
                y = y.left
            removed = y.color
            x = y.right
            if y.parent is z:
                if x is not None:
                    x.parent = y
            else:
                self._transplant(y, y.right)
                y.right = z.right
                if y.right is not None:
                    y.right.parent = y
            self._transplant(z, y)
            y.left = z.left
            if y.left is not None:
                y.left.parent = y
            y.color = z.color
        if x is not None and removed == BLACK:
            self._fixup_delete(x)

    @staticmethod
    def _black(n):
        return n is None or n.color == BLACK

    def _fixup_delete(self, x):
        while x is not self.root and x.color == BLACK:
            near, far = ("left", "right") if x is x.parent.left else ("right", "left")
            rot_far = near == "left"  # rotate toward x: left when x is a left child
            w = getattr(x.parent, far)
            if w is None:
                x = x.parent
                continue
            if w.color == RED:
                w.color = BLACK
                x.parent.color = RED
                self._rotate(x.parent, left=rot_far)
                w = getattr(x.parent, far)
                if w is None:
                    x = x.parent
                    continue
            if self._black(w.left) and self._black(w.right):
                w.color = RED
                x = x.parent
                continue
            if self._black(getattr(w, far)):
                getattr(w, near).color = BLACK
                w.color = RED
                self._rotate(w, left=not rot_far)
                w = getattr(x.parent, far)
            w.color = x.parent.color
            x.parent.color = BLACK
            if getattr(w, far) is not None:
                getattr(w, far).color = BLACK
            self._rotate(x.parent, left=rot_far)
            x = self.root
        x.color = BLACK

    # -- operations --------------------------------------------------------------
    def insert(self, size, block):
        if size < 0:
            raise ValueError("Invalid size: %d" % size)
        node = self._find_node(size)
        if node is not None:
            node.blocks.insert(1, block)
        else:
            new = _Node(size, block)
            if self.root is None:
                self.root = new
                new.color = BLACK
            else:
                n = self.root
                while True:
                    side = "left" if size < n.size else "right"
                    if getattr(n, side) is None:
                        setattr(n, side, new)
                        new.parent = n
                        break
                    n = getattr(n, side)
                self._fixup_insert(new)
        self.count += 1
        for key in ("total_blocks", "total_insertions", "operation_count"):
            self.stats[key] += 1
        return True

    def _removed(self):
        self.count -= 1
        self.stats["total_blocks"] -= 1
        self.stats["total_deletions"] += 1

    def delete(self, size, block):
        if size < 0:
            return False
        node = self._find_node(size)
        if node is None:
            return False
        if node.blocks[0] == block:
            if len(node.blocks) > 1:
                del node.blocks[0]
            else:
                self._delete_node(node)
        else:
            for i in range(1, len(node.blocks)):
                if node.blocks[i] == block:
                    del node.blocks[i]
                    break
            else:
                return False
        self._removed()
        return True

    def remove_ge(self, size):
        if size < 0:
            return (None, None)
        node = self._best_fit_node(size)
        if node is None:
            return (None, None)
        block = node.blocks[0]
        if len(node.blocks) > 1:
            del node.blocks[0]
        else:
            self._delete_node(node)
        self._removed()
        return (node.size, block)

    def find_best_fit(self, size):
        if size < 0:
            return None
        node = self._best_fit_node(size)
        self.stats["total_searches"] += 1
        return None if node is None else node.blocks[0]

    def find_all_exact(self, size):
        if size < 0:
            return []
        node = self._find_node(size)
        self.stats["total_searches"] += 1
        return [] if node is None else list(node.blocks)

    def clear(self):
        self.__init__()

    def height(self, n="root"):
        n = self.root if n == "root" else n
        return 0 if n is None else 1 + max(self.height(n.left), self.height(n.right))

    def distribution(self):
        out, stack = [], [self.root]
        while stack:
            n = stack.pop()
            if n is not None:
                out.append((n.size, len(n.blocks)))
                stack += [n.right, n.left]
        return out
