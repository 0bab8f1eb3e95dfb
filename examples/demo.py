"""A small order-processing script to try tavo on: classes, recursion, an
exception that is handled, and a worker thread.

    python -m tavo run examples/demo.py 3
"""

import sys
import threading
from dataclasses import dataclass, field


@dataclass
class Item:
    name: str
    price: float
    quantity: int = 1

    def total(self):
        return self.price * self.quantity


@dataclass
class Order:
    customer: str
    items: list = field(default_factory=list)

    def add(self, name, price, quantity=1):
        item = Item(name, price, quantity)
        self.items.append(item)
        return item

    def subtotal(self):
        return sum(item.total() for item in self.items)


class OutOfStock(Exception):
    pass


def apply_discount(amount, percent):
    if not 0 <= percent <= 100:
        raise ValueError(f"bad discount {percent}")
    return round(amount * (100 - percent) / 100, 2)


def reserve(stock, name, quantity):
    available = stock.get(name, 0)
    if available < quantity:
        raise OutOfStock(name)
    stock[name] = available - quantity
    return stock[name]


def fibonacci(n):
    return n if n < 2 else fibonacci(n - 1) + fibonacci(n - 2)


def audit(orders, results):
    results["audited"] = len(orders)


def main(argv):
    count = int(argv[1]) if len(argv) > 1 else 2
    stock = {"apple": 10, "pear": 2}
    orders = []
    for number in range(count):
        order = Order(customer=f"customer-{number}")
        order.add("apple", 0.5, 3)
        try:
            reserve(stock, "pear", 2)
            order.add("pear", 0.75, 2)
        except OutOfStock as missing:
            print(f"{order.customer}: out of {missing}")
        orders.append(order)
    results = {}
    worker = threading.Thread(target=audit, args=(orders, results), name="auditor")
    worker.start()
    worker.join()
    for order in orders:
        print(order.customer, apply_discount(order.subtotal(), 10))
    print("fibonacci(6) =", fibonacci(6), "audited", results["audited"])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
