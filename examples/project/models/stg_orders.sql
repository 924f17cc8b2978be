---
materialization: view
tags: [staging, orders]
---
select id as order_id, customer_id, amount_cents / 100.0 as amount, status, ordered_at
from source('shop', 'orders')
where ordered_at >= '{{ start_date }}'
