---
materialization: ephemeral
tags: [intermediate]
---
select order_id, sum(amount) as paid
from ref('stg_payments')
group by order_id
