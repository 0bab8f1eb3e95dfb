"""A small shop's prices: what a line of an invoice costs with its tax, and the total."""

TAX_RATE = 0.20


def tax(amount):
    return round(amount * TAX_RATE, 2)


def line_total(price, quantity):
    net = price * quantity
    return net + tax(net)


def invoice_total(lines):
    return sum(line_total(price, quantity) for price, quantity in lines)
