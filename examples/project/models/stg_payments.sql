---
materialization: view
tags: staging, payments
---
select id as payment_id, order_id, method, amount_cents / 100.0 as amount
from source("billing", "payments")
