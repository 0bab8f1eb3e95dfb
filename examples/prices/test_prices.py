from prices import invoice_total


def test_invoice_total():
    assert invoice_total([(10.0, 2), (5.0, 1)]) == 30.0
