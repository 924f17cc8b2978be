---
materialization: table
tags: [marts, orders]
description: Orders with what was paid for them
---
select o.*, p.paid
from ref('stg_orders') o
left join ref('int_order_payments') p using (order_id)
